#include "mcp/id.hpp"

#include "mcp/unicode_text.hpp"

#include <array>
#include <random>

namespace mcp {

ID ID::random() {
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    std::array<std::uint8_t, 16> b;
    for (std::size_t i = 0; i < b.size(); i += 8) {
        std::uint64_t word = engine();
        for (std::size_t k = 0; k < 8; ++k) b[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(hex[b[i] >> 4]);
        text.push_back(hex[b[i] & 0x0F]);
    }
    return ID(std::move(text));
}

std::optional<std::int64_t> ID::numberValue() const {
    if (const auto* n = std::get_if<std::int64_t>(&v_)) return *n;
    return std::nullopt;
}

std::string ID::description() const {
    if (const auto* s = stringValue()) return *s;
    if (isNull()) return "null";
    return std::to_string(std::get<std::int64_t>(v_));
}

bool operator==(const ID& a, const ID& b) {
    if (a.v_.index() != b.v_.index()) return false;
    if (const auto* s = a.stringValue()) return textEquals(*s, *b.stringValue());
    if (a.isNull()) return true;
    return *a.numberValue() == *b.numberValue();
}

void hashInto(Hasher& h, const ID& id) {
    if (const auto* s = id.stringValue()) {
        h.combine(0);
        hashText(h, *s);
    } else if (id.isNull()) {
        h.combine(2);
    } else {
        h.combine(1);
        hashInto(h, *id.numberValue());
    }
}

json::Value toJson(const ID& id) {
    if (const auto* s = id.stringValue()) return json::Value(*s);
    if (id.isNull()) return json::Value();
    return json::Value(static_cast<long long>(*id.numberValue()));
}

ID fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<ID>) {
    if (v.isString()) return ID(v.asString());
    if (v.isInt()) return ID(v.asInt());
    if (v.isNull()) return ID::null();
    throw json::DecodingError::dataCorrupted("ID must be string or number", path);
}

}  // namespace mcp
