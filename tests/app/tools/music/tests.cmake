# The music tests run a fake MPRIS player (sdbus-c++) and Debian's mpv with
# its MPRIS bridge on a private bus, and write tagged WAV files with TagLib.
find_package(sdbus-c++ REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(TAGLIB REQUIRED IMPORTED_TARGET taglib)
file(GLOB sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
brisolet_test(app_tools_music SOURCES ${sources} ${PROJECT_SOURCE_DIR}/tests/support/child_process.cpp DEPS brisolet_app_tools brisolet_test_doubles SDBusCpp::sdbus-c++ PkgConfig::TAGLIB)
