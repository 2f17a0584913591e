# The vision module's loaders, built into the target from the module's own
# sources (the module itself is loaded with dlopen, out of libFuzzer's sight).
include(${PROJECT_SOURCE_DIR}/src/app/vision/module/deps.cmake)
brisolet_fuzz(vision_loaders SOURCES vision_loaders_fuzz.cpp ${BRISOLET_VISION_MODULE_SOURCES}
  DEPS ${BRISOLET_VISION_MODULE_LIBS})
target_include_directories(fuzz_vision_loaders PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_include_directories(fuzz_vision_loaders SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
target_compile_definitions(fuzz_vision_loaders PRIVATE ZX_USE_UTF8)
