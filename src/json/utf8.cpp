#include "json/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace json {

std::size_t validUtf8Prefix(std::string_view text) noexcept {
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    const char* data = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Most text is ASCII: take it eight bytes at a time.
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, data + i, sizeof word);
            if ((word & kHighBits) == 0) {
                i += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(data[i]) < 0x80) {
            ++i;
            continue;
        }
        const Utf8Sequence sequence = utf8SequenceAt(text, i);
        if (!sequence.valid) return i;
        i += sequence.length;
    }
    return n;
}

void appendRepairedUtf8(std::string& out, std::string_view text) {
    for (;;) {
        const std::size_t valid = validUtf8Prefix(text);
        if (valid > 0) out.append(text.data(), valid);
        text.remove_prefix(valid);
        if (text.empty()) return;
        out.append(kReplacementCharacter);
        text.remove_prefix(utf8SequenceAt(text, 0).length);
    }
}

std::string repairUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendRepairedUtf8(out, text);
    return out;
}

}  // namespace json
