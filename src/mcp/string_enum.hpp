// Enumerations without payloads that travel as one of a fixed set of strings
// (message roles, stop reasons, context inclusion).
//
// An enumeration opts in by specialising StringEnumTraits with its type name
// and its cases; it then converts to and from its strings, encodes as a bare
// JSON string, and fails decoding on any string it does not list.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/hash.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace mcp {

template <class E>
struct StringEnumTraits;  // static constexpr std::string_view typeName; static constexpr std::array cases;

template <class E>
concept StringEnum = std::is_enum_v<E> && requires {
    { StringEnumTraits<E>::typeName } -> std::convertible_to<std::string_view>;
    StringEnumTraits<E>::cases;
};

template <StringEnum E>
constexpr std::string_view toString(E e) {
    for (const auto& [value, text] : StringEnumTraits<E>::cases) {
        if (value == e) return text;
    }
    return {};
}

// Exact, case-sensitive comparison; any other text gives nothing.
template <StringEnum E>
constexpr std::optional<E> fromString(std::string_view text) {
    for (const auto& [value, string] : StringEnumTraits<E>::cases) {
        if (string == text) return value;
    }
    return std::nullopt;
}

template <StringEnum E>
json::Value toJson(E e) {
    return json::Value(toString(e));
}

template <StringEnum E>
E fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<E>) {
    const auto text = decode<std::string>(v, path);
    if (auto e = fromString<E>(text)) return *e;
    throw json::DecodingError::dataCorrupted(
        "Cannot initialize " + std::string(StringEnumTraits<E>::typeName) + " from invalid String value " + text,
        path);
}

// Equal strings hash alike.
template <StringEnum E>
void hashInto(Hasher& h, E e) {
    hashInto(h, toString(e));
}

}  // namespace mcp
