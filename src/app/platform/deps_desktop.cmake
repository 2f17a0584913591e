# The desktop module: X11, XTest and AT-SPI in a shared object of its own,
# loaded on first use so the program starts without them. It is written next
# to the brisolet program; the library also knows the build-tree path.
find_package(PkgConfig REQUIRED)
pkg_check_modules(BRISOLET_DESKTOP_DEPS REQUIRED IMPORTED_TARGET x11 xtst atspi-2 dbus-1 glib-2.0)
file(GLOB BRISOLET_DESKTOP_MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/desktop_x11/*.cpp)
add_library(brisolet_desktop MODULE ${BRISOLET_DESKTOP_MODULE_SOURCES})
target_include_directories(brisolet_desktop PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(brisolet_desktop PRIVATE PkgConfig::BRISOLET_DESKTOP_DEPS)
set_target_properties(brisolet_desktop PROPERTIES
  PREFIX "lib"
  CXX_VISIBILITY_PRESET hidden
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/src/app/hosting)
target_compile_definitions(brisolet_app_platform PRIVATE
  BRISOLET_DESKTOP_MODULE_BUILD_PATH="${CMAKE_BINARY_DIR}/src/app/hosting/libbrisolet_desktop.so")
target_link_libraries(brisolet_app_platform PUBLIC ${CMAKE_DL_LIBS})
add_dependencies(brisolet_app_platform brisolet_desktop)
