# The vision module's loaders, built into the target from the module's own
# sources (the module itself is loaded with dlopen, out of libFuzzer's sight).
include(${PROJECT_SOURCE_DIR}/src/app/vision/module/deps.cmake)
brisolet_fuzz(vision_loaders SOURCES vision_loaders_fuzz.cpp ${BRISOLET_VISION_MODULE_SOURCES}
  DEPS ${BRISOLET_VISION_MODULE_LIBS})
target_include_directories(fuzz_vision_loaders PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_include_directories(fuzz_vision_loaders SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
target_compile_definitions(fuzz_vision_loaders PRIVATE ZX_USE_UTF8)

# The TensorFlow.js model converter, and OpenCV's importer on what it accepts.
brisolet_fuzz(vision_model SOURCES vision_model_fuzz.cpp ${PROJECT_SOURCE_DIR}/src/app/vision/module/tfjs_graph.cpp
  DEPS ${OpenCV_LIBS} nlohmann_json::nlohmann_json)
target_include_directories(fuzz_vision_model PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_include_directories(fuzz_vision_model SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
