// Data URLs and Base64, matched by hand: a regular-expression engine recurses
// per character and overflows the stack on multi-megabyte payloads.
#include "mcp/value.hpp"

#include "json/utf8.hpp"

#include <array>

namespace mcp {
namespace {

constexpr std::string_view kPrefix = "data:";
constexpr std::string_view kCharset = ";charset=";
constexpr std::string_view kBase64 = ";base64";
constexpr std::string_view kDefaultMime = "text/plain";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Parts {
    std::string_view mime;
    std::optional<std::string_view> charset;
    std::string_view payload;
};

// Index of the first "," or ";" at or after `from`, or npos.
std::size_t stopAt(std::string_view s, std::size_t from) { return s.find_first_of(",;", from); }

// The anchored pattern: "data:" [^,;]* (";charset=" [^,;]+)? (";base64")? "," .*
std::optional<Parts> matchParts(std::string_view text) {
    if (!text.starts_with(kPrefix)) return std::nullopt;
    Parts parts;
    std::size_t pos = kPrefix.size();
    std::size_t end = stopAt(text, pos);
    if (end == std::string_view::npos) return std::nullopt;
    parts.mime = text.substr(pos, end - pos);
    pos = end;
    if (text.substr(pos).starts_with(kCharset)) {
        std::size_t start = pos + kCharset.size();
        end = stopAt(text, start);
        if (end == std::string_view::npos || end == start) return std::nullopt;
        parts.charset = text.substr(start, end - start);
        pos = end;
    }
    if (text.substr(pos).starts_with(kBase64)) pos += kBase64.size();
    if (pos >= text.size() || text[pos] != ',') return std::nullopt;
    parts.payload = text.substr(pos + 1);
    return parts;
}

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& t : table) t = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}
constexpr auto kDecodeTable = makeDecodeTable();

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<Bytes> percentDecode(std::string_view text) {
    Bytes out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '%') {
            out.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hexDigit(text[i + 1]);
        int lo = hexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        i += 2;
    }
    const std::string_view decoded(reinterpret_cast<const char*>(out.data()), out.size());
    if (!json::isValidUtf8(decoded)) return std::nullopt;
    return out;
}

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t n = (std::uint32_t(bytes[i]) << 16) | (std::uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.push_back(kAlphabet[(n >> 6) & 63]);
        out.push_back(kAlphabet[n & 63]);
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t n = std::uint32_t(bytes[i]) << 16;
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.append("==");
    } else if (rest == 2) {
        std::uint32_t n = (std::uint32_t(bytes[i]) << 16) | (std::uint32_t(bytes[i + 1]) << 8);
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.push_back(kAlphabet[(n >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    std::size_t body = text.size() - padding;  // characters that must be in the alphabet
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < body; ++i) {
        std::int8_t d = kDecodeTable[static_cast<unsigned char>(text[i])];
        if (d < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

bool matchesDataURL(std::string_view text) { return matchParts(text).has_value(); }

std::optional<DataURL> decodeDataURL(std::string_view text) {
    auto parts = matchParts(text);
    if (!parts) return std::nullopt;
    DataURL result;
    result.mimeType = parts->mime.empty() ? std::string(kDefaultMime) : std::string(parts->mime);
    if (parts->charset && result.mimeType.starts_with("text/")) {
        result.mimeType.append(kCharset).append(*parts->charset);
    }
    // Decided on the whole text, not on the pattern's own ";base64" group.
    std::optional<Bytes> bytes = text.find(";base64,") != std::string_view::npos ? base64Decode(parts->payload)
                                                                                  : percentDecode(parts->payload);
    if (!bytes) return std::nullopt;
    result.bytes = std::move(*bytes);
    return result;
}

std::string encodeDataURL(std::span<const std::uint8_t> bytes, const std::optional<std::string>& mimeType) {
    std::string mime = mimeType ? *mimeType : std::string(kDefaultMime);
    std::string out;
    out.reserve(kPrefix.size() + mime.size() + kBase64.size() + 1 + (bytes.size() + 2) / 3 * 4);
    out.append(kPrefix).append(mime).append(kBase64).push_back(',');
    out += base64Encode(bytes);
    return out;
}

}  // namespace mcp
