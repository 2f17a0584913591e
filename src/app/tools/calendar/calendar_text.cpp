#include "app/tools/calendar/calendar_text.hpp"

#include "app/platform/unicode_text.hpp"

#include <string>

namespace app::tools {

bool containsText(std::string_view haystack, std::string_view needle) {
    return !needle.empty() && haystack.find(needle) != std::string_view::npos;
}

bool caseInsensitiveContains(std::string_view title, std::string_view name) {
    if (name.empty()) return false;
    return platform::foldCase(title).find(platform::foldCase(name)) != std::string::npos;
}

}  // namespace app::tools
