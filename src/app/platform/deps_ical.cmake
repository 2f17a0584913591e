# iCalendar collections (calendars and reminder lists as folders of .ics files).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBICAL REQUIRED IMPORTED_TARGET libical)
target_link_libraries(brisolet_app_platform PUBLIC PkgConfig::LIBICAL)
