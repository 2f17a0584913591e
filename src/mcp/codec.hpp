// How protocol values travel to and from JSON.
//
// Every codable type X of the protocol library (in namespace mcp) provides two
// free functions next to its declaration, found by argument-dependent lookup:
//
//     json::Value toJson(const X& x);
//     X fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<X>);
//
// fromJson throws json::DecodingError; `path` is where `v` stands, and the
// error carries a copy of it (helpers below push and pop keys for you).
// Callers never call these directly but go through the generic entry points:
//
//     json::Value j = mcp::encode(x);
//     X x = mcp::decode<X>(j);            // or decode<X>(j, path) inside a codec
//     X x = mcp::decodeText<X>(text);     // json::parse, then decode
//     std::string s = mcp::encodeText(x); // encode, then json::write
//
// bool, integers, double, std::string, std::optional<T>, std::vector<T> and
// std::map<std::string, T> are handled here already. The protocol's records
// are described by their fields and share one codec (mcp/record.hpp); a
// record's header declares its functions, with its hash (mcp/hash.hpp), in
// one line:
//
//     BRISOLET_MCP_CODABLE(Tool);
//
// The envelopes and errors, whose shapes are not a plain list of fields, write
// through ObjectEncoder and read through ObjectDecoder below. Keys a record
// does not know are ignored. Text failures of the protocol's own rules use
// json::DecodingError::dataCorrupted(description, path).
#pragma once

#include "json/json.hpp"
#include "mcp/hash.hpp"

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

// Declares toJson, fromJson and hashInto for one record type.
#define BRISOLET_MCP_CODABLE(Type)                                                         \
    json::Value toJson(const Type& value);                                                 \
    Type fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Type>); \
    void hashInto(Hasher& h, const Type& value)

namespace mcp {

// Expected-type names used in type-mismatch and value-not-found errors.
namespace typeName {
inline constexpr std::string_view boolean = "Bool";
inline constexpr std::string_view integer = "Int";
inline constexpr std::string_view number = "Double";
inline constexpr std::string_view string = "String";
inline constexpr std::string_view array = "Array<Any>";
inline constexpr std::string_view object = "Dictionary<String, Any>";
}  // namespace typeName

template <class T>
json::Value encode(const T& value);
template <class T>
T decode(const json::Value& value, json::CodingPath& path);
template <class T>
T decode(json::Value&& value, json::CodingPath& path);

// Pushes one path element for the lifetime of the guard.
class PathGuard {
public:
    PathGuard(json::CodingPath& path, std::string_view key) : path_(path) {
        path_.push_back(json::PathElement::member(std::string(key)));
    }
    PathGuard(json::CodingPath& path, long long index) : path_(path) {
        path_.push_back(json::PathElement::at(index));
    }
    ~PathGuard() { path_.pop_back(); }
    PathGuard(const PathGuard&) = delete;
    PathGuard& operator=(const PathGuard&) = delete;

private:
    json::CodingPath& path_;
};

// Throws the right error when `value` is not of `kind`: valueNotFound for null,
// typeMismatch otherwise.
void expectKind(const json::Value& value, json::Kind kind, std::string_view expected,
                const json::CodingPath& path);

// ---- Built-in types -----------------------------------------------------

inline json::Value toJson(bool b) { return json::Value(b); }
inline json::Value toJson(double d) { return json::Value(d); }
inline json::Value toJson(const std::string& s) { return json::Value(s); }
inline json::Value toJson(std::string&& s) { return json::Value(std::move(s)); }
inline json::Value toJson(const json::Value& v) { return v; }
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
json::Value toJson(T i) {
    return json::Value(static_cast<long long>(i));
}
template <class T>
json::Value toJson(const std::optional<T>& o) {
    return o ? encode(*o) : json::Value();
}
template <class T>
json::Value toJson(const std::vector<T>& items) {
    json::Array out;
    out.reserve(items.size());
    for (const auto& item : items) out.push_back(encode(item));
    return json::Value(std::move(out));
}
template <class T, class C>
json::Value toJson(const std::map<std::string, T, C>& entries) {
    json::Object out;
    out.reserve(entries.size());
    for (const auto& [key, item] : entries) out.appendUnchecked(key, encode(item));
    return json::Value(std::move(out));
}

bool fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<bool>);
double fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<double>);
std::string fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<std::string>);
std::string fromJson(json::Value&& v, json::CodingPath& path, std::type_identity<std::string>);
std::int64_t decodeInteger(const json::Value& v, const json::CodingPath& path, std::int64_t min,
                           std::int64_t max);
inline json::Value fromJson(const json::Value& v, json::CodingPath&, std::type_identity<json::Value>) {
    return v;
}
inline json::Value fromJson(json::Value&& v, json::CodingPath&, std::type_identity<json::Value>) {
    return std::move(v);
}
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && sizeof(T) <= sizeof(std::int64_t))
T fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<T>) {
    constexpr auto lo = static_cast<std::int64_t>(std::numeric_limits<T>::min());
    constexpr auto hi = std::numeric_limits<T>::max() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                            ? std::numeric_limits<std::int64_t>::max()
                            : static_cast<std::int64_t>(std::numeric_limits<T>::max());
    return static_cast<T>(decodeInteger(v, path, lo, hi));
}
// A null stands for absent.
template <class T>
std::optional<T> fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<std::optional<T>>) {
    if (v.isNull()) return std::nullopt;
    return decode<T>(v, path);
}
template <class T>
std::vector<T> fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<std::vector<T>>) {
    expectKind(v, json::Kind::Array, typeName::array, path);
    const auto& items = v.asArray();
    std::vector<T> out;
    out.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        PathGuard guard(path, static_cast<long long>(i));
        out.push_back(decode<T>(items[i], path));
    }
    return out;
}
template <class T, class C>
std::map<std::string, T, C> fromJson(const json::Value& v, json::CodingPath& path,
                                     std::type_identity<std::map<std::string, T, C>>) {
    expectKind(v, json::Kind::Object, typeName::object, path);
    std::map<std::string, T, C> out;
    for (const auto& [key, item] : v.asObject()) {
        PathGuard guard(path, key);
        out.insert_or_assign(key, decode<T>(item, path));
    }
    return out;
}

// Records that carry nothing (Empty, the notifications without parameters)
// opt in with
//     template <> inline constexpr bool enableFieldless<ToolListChangedNotification> = true;
// to be written {}, read from any JSON value and hashed as nothing.
template <class T>
inline constexpr bool enableFieldless = false;

template <class T>
    requires enableFieldless<T>
json::Value toJson(const T&) {
    return json::Value(json::Object());
}
template <class T>
    requires enableFieldless<T>
T fromJson(const json::Value&, json::CodingPath&, std::type_identity<T>) {
    return T{};
}
template <class T>
    requires enableFieldless<T>
void hashInto(Hasher&, const T&) {}

// ---- Generic entry points -----------------------------------------------

template <class T>
json::Value encode(const T& value) {
    return toJson(value);
}

template <class T>
T decode(const json::Value& value, json::CodingPath& path) {
    return fromJson(value, path, std::type_identity<T>{});
}

// Lets a codec with an rvalue overload (Value, the envelopes) move strings out.
template <class T>
T decode(json::Value&& value, json::CodingPath& path) {
    return fromJson(std::move(value), path, std::type_identity<T>{});
}

template <class T>
T decode(const json::Value& value) {
    json::CodingPath path;
    return decode<T>(value, path);
}

template <class T>
T decode(json::Value&& value) {
    json::CodingPath path;
    return decode<T>(std::move(value), path);
}

template <class T>
T decodeText(std::string_view text) {
    return decode<T>(json::parse(text));
}

template <class T>
std::string encodeText(const T& value, json::WriteOptions options = {}) {
    return json::write(encode(value), options);
}

// Something that encodes to and decodes from JSON through the functions above.
template <class T>
concept Codable = requires(const T& t, const json::Value& v, json::CodingPath& p) {
    { toJson(t) } -> std::same_as<json::Value>;
    { fromJson(v, p, std::type_identity<T>{}) } -> std::same_as<T>;
};

// ---- Object helpers -----------------------------------------------------

// Builds a JSON object in writing order.
class ObjectEncoder {
public:
    ObjectEncoder() = default;
    // Always written (an absent optional as null).
    template <class T>
    ObjectEncoder& set(std::string key, const T& value) {
        object_.set(std::move(key), encode(value));
        return *this;
    }
    ObjectEncoder& setJson(std::string key, json::Value value) {
        object_.set(std::move(key), std::move(value));
        return *this;
    }
    // Left out when absent.
    template <class T>
    ObjectEncoder& setOptional(std::string key, const std::optional<T>& value) {
        if (value) object_.set(std::move(key), encode(*value));
        return *this;
    }
    json::Value finish() && { return json::Value(std::move(object_)); }

private:
    json::Object object_;
};

// Reads the members of one JSON object; decoding errors carry the member's path.
class ObjectDecoder {
public:
    // Fails with typeMismatch (valueNotFound for null) unless `value` is an object.
    ObjectDecoder(const json::Value& value, json::CodingPath& path);

    json::CodingPath& path() const { return path_; }
    // The member's raw JSON, or nullptr when missing.
    const json::Value* find(std::string_view key) const { return object_->find(key); }
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Present and not null.
    bool hasValue(std::string_view key) const {
        const auto* v = find(key);
        return v && !v->isNull();
    }

    // Missing: keyNotFound; null: valueNotFound (unless T accepts null itself,
    // as Value does); anything else: T's own decoding.
    template <class T>
    T required(std::string_view key) const {
        const json::Value* v = find(key);
        if (!v) throw json::DecodingError::keyNotFound(key, path_);
        PathGuard guard(path_, key);
        return decode<T>(*v, path_);
    }

    // Missing or null: nullopt.
    template <class T>
    std::optional<T> optional(std::string_view key) const {
        const json::Value* v = find(key);
        if (!v || v->isNull()) return std::nullopt;
        PathGuard guard(path_, key);
        return decode<T>(*v, path_);
    }

    // Missing or null: `fallback`.
    template <class T>
    T optional(std::string_view key, T fallback) const {
        auto v = optional<T>(key);
        return v ? std::move(*v) : std::move(fallback);
    }

private:
    const json::Object* object_;
    json::CodingPath& path_;
};

}  // namespace mcp
