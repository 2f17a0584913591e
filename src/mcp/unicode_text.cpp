#include "mcp/unicode_text.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>

#include <algorithm>
#include <cstdint>

namespace mcp {
namespace {

bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

const icu::Normalizer2* nfc() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
    return U_SUCCESS(status) ? n : nullptr;
}

// The NFC form, or nothing when the text is already in it (or ICU cannot help,
// in which case the bytes themselves are compared).
bool normalized(std::string_view text, std::string& out) {
    if (isAscii(text) || text.size() > INT32_MAX) return false;
    const icu::Normalizer2* n = nfc();
    if (!n) return false;
    UErrorCode status = U_ZERO_ERROR;
    icu::StringPiece piece(text.data(), static_cast<int32_t>(text.size()));
    if (n->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) return false;
    status = U_ZERO_ERROR;
    out.clear();
    icu::StringByteSink<std::string> sink(&out);
    n->normalizeUTF8(0, piece, sink, nullptr, status);
    return U_SUCCESS(status);
}

}  // namespace

bool textEquals(std::string_view a, std::string_view b) {
    if (a == b) return true;
    std::string na, nb;
    bool changedA = normalized(a, na);
    bool changedB = normalized(b, nb);
    if (!changedA && !changedB) return false;
    return (changedA ? std::string_view(na) : a) == (changedB ? std::string_view(nb) : b);
}

void hashText(Hasher& h, std::string_view text) {
    std::string n;
    hashInto(h, normalized(text, n) ? std::string_view(n) : text);
}

}  // namespace mcp
