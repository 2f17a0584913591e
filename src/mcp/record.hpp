// Protocol records described once by their fields, and the one codec that
// writes, reads and hashes every record from that description.
//
// A record's header declares its functions with BRISOLET_MCP_CODABLE(X); its
// source file lists the fields, in declaration order, with how each travels:
//
//     BRISOLET_MCP_RECORD(Tool,
//         field::required("name", &Tool::name),
//         field::nullWhenAbsent("description", &Tool::description),
//         field::required("inputSchema", &Tool::inputSchema),
//         field::omittedWhenEmpty("annotations", &Tool::annotations));
//
// Keys are written in the listed order and read in that order too, so the
// first failing field is the one reported. Decoding fails with typeMismatch
// (valueNotFound for null) unless the value is an object; keys a record does
// not list are ignored. A record that is not default-constructible is built
// from its fields in the listed order (braced, so they are read in order).
#pragma once

#include "mcp/codec.hpp"
#include "mcp/hash.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace mcp {

// Specialised per record (by BRISOLET_MCP_RECORD) with `static constexpr auto list`,
// a tuple of fields; `static constexpr bool nullIsEmpty = true` lets null read
// as the default record.
template <class R>
struct Fields;

template <class R>
concept Record = requires { Fields<R>::list; };

namespace field {

enum class Presence {
    required,          // always written; missing: keyNotFound, null: valueNotFound
    omittedWhenAbsent, // an optional left out when absent; missing or null: absent
    nullWhenAbsent,    // an optional written as null when absent; missing or null: absent
    omittedWhenEmpty,  // left out when empty(); missing or null: the default value
    defaulted,         // always written; missing or null: the fallback
};

template <Presence P, class T>
struct ItemOf {
    using type = T;
};
template <class T>
struct ItemOf<Presence::omittedWhenAbsent, T> {
    using type = typename T::value_type;
};
template <class T>
struct ItemOf<Presence::nullWhenAbsent, T> {
    using type = typename T::value_type;
};

template <Presence P, class R, class T>
struct Member {
    // The value as it travels: T, or what the optional T holds.
    using Item = typename ItemOf<P, T>::type;

    std::string_view key;
    T R::*member;
    T (*fallback)() = nullptr;

    void write(json::Object& out, const R& r) const {
        const T& value = r.*member;
        if constexpr (P == Presence::omittedWhenAbsent) {
            if (value) out.appendUnchecked(std::string(key), encode(*value));
        } else if constexpr (P == Presence::omittedWhenEmpty) {
            if (!value.empty()) out.appendUnchecked(std::string(key), encode(value));
        } else {
            out.appendUnchecked(std::string(key), encode(value));
        }
    }

    T take(const ObjectDecoder& in) const {
        const json::Value* v = in.find(key);
        if constexpr (P == Presence::required) {
            if (!v) throw json::DecodingError::keyNotFound(key, in.path());
        } else if (!v || v->isNull()) {
            if constexpr (P == Presence::defaulted) return fallback();
            else return T{};
        }
        PathGuard guard(in.path(), key);
        return decode<Item>(*v, in.path());
    }

    void readInto(const ObjectDecoder& in, R& r) const { r.*member = take(in); }

    void hash(Hasher& h, const R& r) const { hashInto(h, r.*member); }
};

// A fixed text written under `key` and not stored; reading requires a string
// there but does not compare it.
template <class R>
struct Tag {
    std::string_view key;
    std::string_view text;

    void write(json::Object& out, const R&) const { out.appendUnchecked(std::string(key), json::Value(text)); }
    void readInto(const ObjectDecoder& in, R&) const {
        const json::Value* v = in.find(key);
        if (!v) throw json::DecodingError::keyNotFound(key, in.path());
        PathGuard guard(in.path(), key);
        expectKind(*v, json::Kind::String, typeName::string, in.path());
    }
    void hash(Hasher&, const R&) const {}
};

template <class R, class T>
constexpr auto required(std::string_view key, T R::*member) {
    return Member<Presence::required, R, T>{key, member};
}
template <class R, class T>
constexpr auto optional(std::string_view key, std::optional<T> R::*member) {
    return Member<Presence::omittedWhenAbsent, R, std::optional<T>>{key, member};
}
template <class R, class T>
constexpr auto nullWhenAbsent(std::string_view key, std::optional<T> R::*member) {
    return Member<Presence::nullWhenAbsent, R, std::optional<T>>{key, member};
}
template <class R, class T>
constexpr auto omittedWhenEmpty(std::string_view key, T R::*member) {
    return Member<Presence::omittedWhenEmpty, R, T>{key, member};
}
template <class R, class T>
constexpr auto defaulted(std::string_view key, T R::*member, T (*fallback)()) {
    return Member<Presence::defaulted, R, T>{key, member, fallback};
}
template <class R>
constexpr auto tag(std::string_view key, std::string_view text) {
    return Tag<R>{key, text};
}

}  // namespace field

template <Record R, class F>
void forEachField(F&& f) {
    constexpr auto& list = Fields<R>::list;
    std::apply([&](const auto&... fields) { (f(fields), ...); }, list);
}

// Adds the record's members to `out` (used for content items, whose fields sit beside "type").
template <Record R>
void writeFields(json::Object& out, const R& r) {
    forEachField<R>([&](const auto& f) { f.write(out, r); });
}

template <Record R>
R readFields(const ObjectDecoder& in) {
    constexpr auto& list = Fields<R>::list;
    if constexpr (std::is_default_constructible_v<R>) {
        R r{};
        forEachField<R>([&](const auto& f) { f.readInto(in, r); });
        return r;
    } else {
        return std::apply([&](const auto&... fields) { return R{fields.take(in)...}; }, list);
    }
}

template <Record R>
void hashFields(Hasher& h, const R& r) {
    forEachField<R>([&](const auto& f) { f.hash(h, r); });
}

template <Record R>
json::Value encodeRecord(const R& r) {
    json::Object out;
    out.reserve(std::tuple_size_v<std::remove_cvref_t<decltype(Fields<R>::list)>>);
    writeFields(out, r);
    return json::Value(std::move(out));
}

template <Record R>
R decodeRecord(const json::Value& v, json::CodingPath& path) {
    if constexpr (requires { Fields<R>::nullIsEmpty; }) {
        if (Fields<R>::nullIsEmpty && v.isNull()) return R();
    }
    return readFields<R>(ObjectDecoder(v, path));
}

}  // namespace mcp

// Defines the three functions BRISOLET_MCP_CODABLE(Type) declares through the given templates.
#define BRISOLET_MCP_DEFINE_CODEC(Type, encodeWith, decodeWith, hashWith)                   \
    json::Value toJson(const Type& value) { return encodeWith(value); }                     \
    Type fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Type>) { \
        return decodeWith<Type>(v, path);                                                   \
    }                                                                                       \
    void hashInto(Hasher& h, const Type& value) { hashWith(h, value); }

// The codec of a record, from Fields<Type>.
#define BRISOLET_MCP_RECORD_CODEC(Type) BRISOLET_MCP_DEFINE_CODEC(Type, encodeRecord, decodeRecord, hashFields)

// Describes one record by its fields; inside namespace mcp.
#define BRISOLET_MCP_FIELDS(Type, ...)                        \
    template <>                                               \
    struct Fields<Type> {                                     \
        static constexpr auto list = std::tuple{__VA_ARGS__}; \
    }

// Describes one record by its fields and defines its codec.
#define BRISOLET_MCP_RECORD(Type, ...)      \
    BRISOLET_MCP_FIELDS(Type, __VA_ARGS__); \
    BRISOLET_MCP_RECORD_CODEC(Type)
