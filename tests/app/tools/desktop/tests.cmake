# test_app_tools_desktop: the family over fakes, and on a real desktop (a
# private Xvfb, session bus and accessibility bus) with a small Qt window.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
find_package(X11 REQUIRED)
add_executable(desktop_test_window ${dir}/test_window.cpp)
target_link_libraries(desktop_test_window PRIVATE Qt6::Widgets Qt6::Test)
file(GLOB desktop_test_sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
brisolet_test(app_tools_desktop
  SOURCES ${desktop_test_sources} ${PROJECT_SOURCE_DIR}/tests/support/child_process.cpp
  DEPS brisolet_app_tools)
target_link_libraries(test_app_tools_desktop PRIVATE X11::X11)
target_include_directories(test_app_tools_desktop PRIVATE ${PROJECT_SOURCE_DIR}/tests/app/platform)
target_compile_definitions(test_app_tools_desktop PRIVATE DESKTOP_TEST_WINDOW="$<TARGET_FILE:desktop_test_window>")
add_dependencies(test_app_tools_desktop desktop_test_window)
