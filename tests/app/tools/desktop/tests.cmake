# test_app_tools_desktop: the family over fakes, and the real desktop under a
# private Xvfb, session bus and accessibility bus with a small Qt window.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_executable(desktop_test_window ${dir}/test_window.cpp)
target_link_libraries(desktop_test_window PRIVATE Qt6::Widgets)

find_package(PkgConfig REQUIRED)
pkg_check_modules(DESKTOP_TEST_X11 REQUIRED IMPORTED_TARGET x11)
file(GLOB desktop_test_sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
brisolet_test(app_tools_desktop
  SOURCES ${desktop_test_sources} ${dir}/window_churn.cpp
  DEPS brisolet_app_tools PkgConfig::DESKTOP_TEST_X11)
target_include_directories(test_app_tools_desktop PRIVATE ${PROJECT_SOURCE_DIR}/tests/app/platform)
target_compile_definitions(test_app_tools_desktop PRIVATE
  DESKTOP_TEST_WINDOW="$<TARGET_FILE:desktop_test_window>")
add_dependencies(test_app_tools_desktop desktop_test_window)
