#include "app/platform/unicode_text.hpp"

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>

namespace app::platform {

namespace {

// Walks text as UTF-8; calls onPoint(codePoint, start, length) with -1 for
// each maximal ill-formed subpart.
template <class F>
void walkUtf8(std::string_view text, F onPoint) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    // U8_NEXT takes an int32_t length; walk in windows for longer texts.
    std::size_t base = 0;
    while (base < text.size()) {
        const std::size_t full = std::min<std::size_t>(text.size() - base, INT32_MAX / 2);
        std::size_t window = full;
        // Never cut a sequence: back off to a lead byte unless at the end.
        if (base + window < text.size())
            while (window > 0 && (bytes[base + window] & 0xC0) == 0x80) --window;
        if (window == 0) window = full;
        int32_t length = static_cast<int32_t>(window);
        int32_t i = 0;
        while (i < length) {
            int32_t start = i;
            UChar32 c;
            U8_NEXT(bytes + base, i, length, c);
            onPoint(c, base + static_cast<std::size_t>(start), static_cast<std::size_t>(i - start));
        }
        base += window;
    }
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    bool valid = true;
    walkUtf8(text, [&](UChar32 c, std::size_t, std::size_t) {
        if (c < 0) valid = false;
    });
    return valid;
}

std::string repairUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    walkUtf8(text, [&](UChar32 c, std::size_t start, std::size_t length) {
        if (c < 0)
            out.append("\xEF\xBF\xBD");
        else
            out.append(text.substr(start, length));
    });
    return out;
}

std::string foldCase(std::string_view text) {
    std::string repaired = repairUtf8(text);
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(repaired);
    unicode.foldCase();
    std::string out;
    unicode.toUTF8String(out);
    return out;
}

std::vector<std::string> splitAtWhiteSpace(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    walkUtf8(text, [&](UChar32 c, std::size_t start, std::size_t length) {
        if (c >= 0 && u_isUWhiteSpace(c)) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word.append(text.substr(start, length));
        }
    });
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

}  // namespace app::platform
