// Text tests the calendar and reminders families share: substring search and
// list-name matching.
#pragma once

#include <string_view>

namespace app::tools {

// A plain substring test; an empty needle matches nothing (a search for
// nothing finds nothing).
bool containsText(std::string_view haystack, std::string_view needle);
// Whether the lower-cased text contains `loweredNeedle` (already lower-cased).
bool lowercasedContains(std::string_view text, std::string_view loweredNeedle);

// Case-insensitive containment, as when a list is picked by part of its
// name; an empty name matches no title.
bool caseInsensitiveContains(std::string_view title, std::string_view name);

}  // namespace app::tools
