// Unicode helpers for the stores and the tool families: UTF-8 checks and
// repair, lower-casing and case folding, trimming and splitting at white
// space (ICU).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

bool isValidUtf8(std::string_view text);
// Each ill-formed sequence becomes U+FFFD; valid text is returned unchanged.
std::string repairUtf8(std::string_view text);
// Full Unicode lower-casing, the same in every locale (root); ill-formed
// UTF-8 is repaired first.
std::string lowercased(std::string_view text);
// Full Unicode case folding, for case-insensitive comparison.
std::string foldCase(std::string_view text);
// The text without blanks at either end: tabs and the space separators
// (U+0020, U+00A0, U+3000, ...); line breaks stay.
std::string_view trimmingBlanks(std::string_view text);
// The text without Unicode white space (line breaks included) at either end.
std::string_view trimmingWhiteSpace(std::string_view text);
// The words between runs of Unicode white space; none for blank text.
std::vector<std::string> splitAtWhiteSpace(std::string_view text);

}  // namespace app::platform
