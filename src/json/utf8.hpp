// UTF-8 checks and repair, shared by the JSON writer, the event-source
// parser, the protocol layer and the stores. Well-formed means: no overlong
// forms, no surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no
// truncated sequence. Repair replaces each maximal ill-formed subpart with
// one U+FFFD, the practice Unicode recommends (and ICU and browsers follow).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace json {

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

struct Utf8Sequence {
    std::size_t length;  // bytes of the character, or of the ill-formed subpart
    bool valid;
};

// The sequence starting at text[i] (i < text.size()). Inline: the JSON writer
// calls it for every non-ASCII character it writes.
inline Utf8Sequence utf8SequenceAt(std::string_view text, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) -> unsigned {
        return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80) return {1, true};
    std::size_t need;
    unsigned low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return {1, false};  // continuation byte, C0, C1 or F5..FF
    }
    for (std::size_t k = 1; k < need; ++k) {
        const unsigned b = byte(k);
        const bool ok = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
        if (!ok) return {k, false};
    }
    return {need, true};
}

// Length of the longest well-formed prefix of text.
std::size_t validUtf8Prefix(std::string_view text) noexcept;

inline bool isValidUtf8(std::string_view text) noexcept { return validUtf8Prefix(text) == text.size(); }

// Appends text to out with ill-formed subparts replaced; well-formed text is
// appended unchanged.
void appendRepairedUtf8(std::string& out, std::string_view text);

std::string repairUtf8(std::string_view text);

}  // namespace json
