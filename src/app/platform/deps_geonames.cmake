# The city directory opens libgeonames at its first search (dlopen): only the
# header is needed to build, and the program starts without GLib loaded.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GEONAMES REQUIRED IMPORTED_TARGET geonames)
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/city_directory.cpp PROPERTIES
  INCLUDE_DIRECTORIES "${GEONAMES_INCLUDE_DIRS}")
target_link_libraries(brisolet_app_platform PUBLIC ${CMAKE_DL_LIBS})
