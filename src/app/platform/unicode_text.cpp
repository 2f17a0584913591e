#include "app/platform/unicode_text.hpp"

#include "json/utf8.hpp"

#include <unicode/locid.h>
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

// The repaired text through ICU: `change` edits it as UTF-16. Text too long
// for ICU comes back repaired only.
template <class F>
std::string mapped(std::string_view text, F change) {
    std::string repaired = json::repairUtf8(text);
    if (repaired.size() > INT32_MAX) return repaired;
    icu::UnicodeString unicode =
        icu::UnicodeString::fromUTF8(icu::StringPiece(repaired.data(), static_cast<int32_t>(repaired.size())));
    change(unicode);
    std::string out;
    unicode.toUTF8String(out);
    return out;
}

// The text without the code points `isTrimmed` accepts at either end; an
// ill-formed sequence is never trimmed.
template <class F>
std::string_view trimming(std::string_view text, F isTrimmed) {
    if (text.size() > INT32_MAX) return text;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !isTrimmed(c)) break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !isTrimmed(c)) break;
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

}  // namespace

std::string lowercased(std::string_view text) {
    return mapped(text, [](icu::UnicodeString& unicode) { unicode.toLower(icu::Locale::getRoot()); });
}

std::string foldCase(std::string_view text) {
    return mapped(text, [](icu::UnicodeString& unicode) { unicode.foldCase(); });
}

std::string_view trimmingBlanks(std::string_view text) {
    return trimming(text, [](UChar32 c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; });
}

std::string_view trimmingWhiteSpace(std::string_view text) {
    return trimming(text, [](UChar32 c) { return u_isUWhiteSpace(c) != 0; });
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

namespace {

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

std::string escapeOf(char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\r': return "\\r";
        default: return std::string("\\u00") + kHex[u >> 4] + kHex[u & 0xF];
    }
}

}  // namespace

std::optional<char> unkeptControlCharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!isControl(c) || c == '\t' || c == '\n') continue;
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        return c;
    }
    return std::nullopt;
}

std::string controlCharacterName(char c) {
    if (c == '\0') return "a NUL character";
    if (c == '\r') return "a carriage return (\\r) without a line feed after it";
    return "the control character " + escapeOf(c);
}

std::string shownEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (isControl(c)) out += escapeOf(c);
        else out += c;
    }
    return out;
}

}  // namespace app::platform
