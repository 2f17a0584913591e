brisolet_test(app_platform_defaults
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/defaults_store_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/environment_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/url_opener_test.cpp
  DEPS
    brisolet_app_platform
)
