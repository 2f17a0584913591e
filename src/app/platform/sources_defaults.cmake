list(APPEND APP_PLATFORM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/defaults_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/diagnostic_sink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/environment.cpp
  ${CMAKE_CURRENT_LIST_DIR}/url_opener.cpp
)
