# The vision module's loaders, built into the target from the module's own
# sources (the module itself is loaded with dlopen, out of libFuzzer's sight).
find_package(PkgConfig REQUIRED)
find_package(OpenCV 4 REQUIRED COMPONENTS core imgproc imgcodecs objdetect calib3d saliency img_hash)
pkg_check_modules(TESSERACT REQUIRED IMPORTED_TARGET tesseract)
pkg_check_modules(ZXING REQUIRED IMPORTED_TARGET zxing)
pkg_check_modules(DLIB REQUIRED IMPORTED_TARGET dlib-1)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
set(vision_module_dir ${PROJECT_SOURCE_DIR}/src/app/vision/module)
brisolet_fuzz(vision_loaders
  SOURCES vision_loaders_fuzz.cpp ${vision_module_dir}/engine.cpp ${vision_module_dir}/face_landmarks.cpp
          ${vision_module_dir}/prints.cpp ${vision_module_dir}/text_recognition.cpp
          ${vision_module_dir}/video_file.cpp
  DEPS ${OpenCV_LIBS} PkgConfig::TESSERACT PkgConfig::ZXING PkgConfig::DLIB PkgConfig::FFMPEG)
target_include_directories(fuzz_vision_loaders PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_include_directories(fuzz_vision_loaders SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
target_compile_definitions(fuzz_vision_loaders PRIVATE ZX_USE_UTF8)
