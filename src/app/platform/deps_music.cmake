# The music module: MPRIS over sdbus-c++ and tags with TagLib, loaded by the
# program on first use (music_module.cpp) so start-up never pays for them.
find_package(sdbus-c++ REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(TAGLIB REQUIRED IMPORTED_TARGET taglib)
add_library(brisolet_music MODULE
  ${CMAKE_CURRENT_SOURCE_DIR}/music/mpris_client.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/music/audio_tags.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/music/module_entry.cpp)
target_include_directories(brisolet_music PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(brisolet_music PRIVATE SDBusCpp::sdbus-c++ PkgConfig::TAGLIB)
set_target_properties(brisolet_music PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
target_compile_definitions(brisolet_app_platform PRIVATE
  BRISOLET_MUSIC_MODULE_PATH="$<TARGET_FILE:brisolet_music>")
target_link_libraries(brisolet_app_platform PUBLIC ${CMAKE_DL_LIBS})
add_dependencies(brisolet_app_platform brisolet_music)
