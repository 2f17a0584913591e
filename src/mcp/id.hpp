// A JSON-RPC request identifier: a text or a signed 64-bit integer.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/hash.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace mcp {

class ID {
public:
    // The empty text.
    ID() = default;
    ID(std::string s) : v_(std::move(s)) {}
    ID(const char* s) : v_(std::string(s)) {}
    ID(std::string_view s) : v_(std::string(s)) {}
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    ID(T n) : v_(static_cast<std::int64_t>(n)) {}

    // A fresh random UUID in its upper-case 8-4-4-4-12 text form.
    static ID random();
    // JSON null: what a request with "id": null, or an unreadable id, is answered with.
    static ID null() {
        ID id;
        id.v_.emplace<2>();
        return id;
    }

    bool isString() const { return v_.index() == 0; }
    bool isNumber() const { return v_.index() == 1; }
    bool isNull() const { return v_.index() == 2; }
    const std::string* stringValue() const { return std::get_if<std::string>(&v_); }
    std::optional<std::int64_t> numberValue() const;

    // The text itself, or the decimal number; "null" for null.
    std::string description() const;

    // The id "1" and the id 1 differ.
    friend bool operator==(const ID& a, const ID& b);
    friend void hashInto(Hasher& h, const ID& id);

private:
    std::variant<std::string, std::int64_t, std::monostate> v_;
};

// A bare JSON string, integer or null. Reading: string, integer, null, else
// "ID must be string or number" (data corrupted).
json::Value toJson(const ID& id);
ID fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<ID>);

}  // namespace mcp

template <>
struct std::hash<mcp::ID> {
    std::size_t operator()(const mcp::ID& id) const { return mcp::hashValue(id); }
};
