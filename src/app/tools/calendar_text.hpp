// Text tests the calendar and reminders families share: lower-casing,
// substring search, list-name matching and trimming of blanks.
#pragma once

#include <string>
#include <string_view>

namespace app::tools {

// Full Unicode lower-casing, the same in every locale. Ill-formed UTF-8
// becomes U+FFFD.
std::string lowercased(std::string_view text);

// A plain substring test; an empty needle matches nothing (a search for
// nothing finds nothing).
bool containsText(std::string_view haystack, std::string_view needle);

// Case-insensitive containment, as when a list is picked by part of its
// name; an empty name matches no title.
bool caseInsensitiveContains(std::string_view title, std::string_view name);

// The text without blanks at either end: tabs and the space separators
// (U+0020, U+00A0, U+3000, ...); line breaks stay.
std::string_view trimmingBlanks(std::string_view text);

}  // namespace app::tools
