// Unicode helpers for the stores: UTF-8 checks and repair, case folding and
// splitting at white space (ICU).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

bool isValidUtf8(std::string_view text);
// Each ill-formed sequence becomes U+FFFD; valid text is returned unchanged.
std::string repairUtf8(std::string_view text);
// Full Unicode case folding, for case-insensitive comparison.
std::string foldCase(std::string_view text);
// The words between runs of Unicode white space; none for blank text.
std::vector<std::string> splitAtWhiteSpace(std::string_view text);

}  // namespace app::platform
