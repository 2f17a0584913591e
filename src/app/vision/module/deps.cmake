# What the analysis module is built from and links (the vision fuzz target
# builds the same sources).
find_package(PkgConfig REQUIRED)
find_package(OpenCV 4 REQUIRED COMPONENTS core imgproc imgcodecs calib3d saliency img_hash dnn)
pkg_check_modules(TESSERACT REQUIRED IMPORTED_TARGET tesseract)
pkg_check_modules(ZXING REQUIRED IMPORTED_TARGET zxing)
pkg_check_modules(DLIB REQUIRED IMPORTED_TARGET dlib-1)
pkg_check_modules(HEIF REQUIRED IMPORTED_TARGET libheif)
# libtiff itself for grey pictures with alpha, which OpenCV reads without it.
pkg_check_modules(TIFF REQUIRED IMPORTED_TARGET libtiff-4)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
set(BRISOLET_VISION_MODULE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/abandonable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/face_landmarks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/models.cpp
  ${CMAKE_CURRENT_LIST_DIR}/picture_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tfjs_graph.cpp
  ${CMAKE_CURRENT_LIST_DIR}/prints.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text_recognition.cpp
  ${CMAKE_CURRENT_LIST_DIR}/video_file.cpp)
set(BRISOLET_VISION_MODULE_LIBS ${OpenCV_LIBS} nlohmann_json::nlohmann_json PkgConfig::TESSERACT PkgConfig::ZXING PkgConfig::DLIB PkgConfig::HEIF PkgConfig::TIFF PkgConfig::FFMPEG)
