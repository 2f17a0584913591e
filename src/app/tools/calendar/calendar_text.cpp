#include "app/tools/calendar/calendar_text.hpp"

#include "app/platform/unicode_text.hpp"

#include <algorithm>
#include <string>

namespace app::tools {

bool containsText(std::string_view haystack, std::string_view needle) {
    return !needle.empty() && haystack.find(needle) != std::string_view::npos;
}

bool lowercasedContains(std::string_view text, std::string_view loweredNeedle) {
    if (loweredNeedle.empty()) return false;
    // ASCII text lower-cases byte by byte, as the locale-aware rules would:
    // a search over a year of titles needs no copies.
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) return containsText(platform::lowercased(text), loweredNeedle);
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (loweredNeedle.size() > text.size()) return false;
    for (std::size_t at = 0; at + loweredNeedle.size() <= text.size(); ++at) {
        std::size_t i = 0;
        while (i < loweredNeedle.size() && lower(text[at + i]) == loweredNeedle[i]) ++i;
        if (i == loweredNeedle.size()) return true;
    }
    return false;
}

bool caseInsensitiveContains(std::string_view title, std::string_view name) {
    if (name.empty()) return false;
    return platform::foldCase(title).find(platform::foldCase(name)) != std::string::npos;
}

}  // namespace app::tools
