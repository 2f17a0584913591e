# cmake -DFROM=<folder> -DTO=<folder> -P copy_models.cmake
# Copies the files in FROM into TO, leaving those already the same untouched
# (so a build that finds nothing new rewrites nothing). A missing FROM copies
# nothing: the module then reports the model files it misses.
file(GLOB models LIST_DIRECTORIES false "${FROM}/*")
if(models)
  file(MAKE_DIRECTORY "${TO}")
endif()
foreach(model IN LISTS models)
  get_filename_component(name "${model}" NAME)
  file(COPY_FILE "${model}" "${TO}/${name}" ONLY_IF_DIFFERENT)
endforeach()
