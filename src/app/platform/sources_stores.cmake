list(APPEND APP_PLATFORM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/platform_error.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sqlite.cpp
  ${CMAKE_CURRENT_LIST_DIR}/store_database.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unicode_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/apple_script.cpp
  ${CMAKE_CURRENT_LIST_DIR}/script_template.cpp
  ${CMAKE_CURRENT_LIST_DIR}/script_host.cpp
  ${CMAKE_CURRENT_LIST_DIR}/access_prompter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/event_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sqlite_event_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/contact_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vcard.cpp
)
