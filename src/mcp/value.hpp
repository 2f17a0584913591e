// The protocol's JSON value, with an eighth case for binary data that travels
// as a "data:" URL string; the unit interval; and the data-URL operations.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/hash.hpp"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace mcp {

using Bytes = std::vector<std::uint8_t>;

class Value;
using Array = std::vector<Value>;
// Keys unique; iteration (and writing) order is the keys' byte order.
using Object = std::map<std::string, Value, std::less<>>;

// The payload of the data case.
struct Data {
    std::optional<std::string> mimeType;
    Bytes bytes;
    friend bool operator==(const Data&, const Data&) = default;
};

class Value {
public:
    // Declaration order; the ordinal feeds the hash.
    enum class Kind { Null, Bool, Int, Double, String, Data, Array, Object };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
    Value(T i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(float f) : v_(static_cast<double>(f)) {}
    Value(char c) : v_(std::string(1, c)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(mcp::Data d) : v_(std::move(d)) {}
    Value(mcp::Array a) : v_(std::move(a)) {}
    Value(mcp::Object o) : v_(std::move(o)) {}

    static Value data(Bytes bytes, std::optional<std::string> mimeType = std::nullopt) {
        return Value(mcp::Data{std::move(mimeType), std::move(bytes)});
    }
    // A list of pairs; a repeated key keeps the later value.
    static Value object(std::initializer_list<std::pair<std::string, Value>> entries);

    // Any encodable value, through its JSON form; a Value is returned as is.
    template <class T>
    static Value from(const T& value) {
        if constexpr (std::is_same_v<T, Value>) {
            return value;
        } else {
            return decode<Value>(encode(value));
        }
    }

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isNull() const { return kind() == Kind::Null; }

    // Case accessors: absent unless the value is of that very case.
    std::optional<bool> boolValue() const;
    std::optional<std::int64_t> intValue() const;
    std::optional<double> doubleValue() const;
    const std::string* stringValue() const { return std::get_if<std::string>(&v_); }
    const mcp::Data* dataValue() const { return std::get_if<mcp::Data>(&v_); }
    const mcp::Array* arrayValue() const { return std::get_if<mcp::Array>(&v_); }
    const mcp::Object* objectValue() const { return std::get_if<mcp::Object>(&v_); }
    std::string* stringValue() { return std::get_if<std::string>(&v_); }
    mcp::Data* dataValue() { return std::get_if<mcp::Data>(&v_); }
    mcp::Array* arrayValue() { return std::get_if<mcp::Array>(&v_); }
    mcp::Object* objectValue() { return std::get_if<mcp::Object>(&v_); }

    // The text form: "" for null, texts unquoted, "[a, b]", "[\"k\": v]", "[:]".
    std::string description() const;

    // Same case and equal payloads; NaN equals nothing, -0.0 equals 0.0, texts
    // compare by canonical equivalence.
    friend bool operator==(const Value& a, const Value& b);
    friend void hashInto(Hasher& h, const Value& v);

private:
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, mcp::Data, mcp::Array, mcp::Object> v_{
        nullptr};
};

// Conversions out of a Value; absent where the rules give nothing. Strict
// accepts only the target's own case (Double also takes an int).
std::optional<bool> toBool(const Value& value, bool strict = true);
std::optional<std::int64_t> toInt(const Value& value, bool strict = true);
std::optional<double> toDouble(const Value& value, bool strict = true);
std::optional<std::string> toString(const Value& value, bool strict = true);

// JSON form. Reading tries null, bool, int, double, string, array, object in
// that order; a string is never read as data (see decodeDataURL). The rvalue
// overloads move strings instead of copying.
json::Value toJson(const Value& value);
json::Value toJson(Value&& value);
Value fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Value>);
Value fromJson(json::Value&& v, json::CodingPath& path, std::type_identity<Value>);

// ---- Data URLs ----------------------------------------------------------

struct DataURL {
    std::string mimeType;
    Bytes bytes;
    friend bool operator==(const DataURL&, const DataURL&) = default;
};

// True when the whole text has the form
//   "data:" mime [";charset=" charset] [";base64"] "," payload
// where mime and charset contain neither "," nor ";" (charset non-empty).
bool matchesDataURL(std::string_view text);
// The MIME type (default "text/plain"; a charset kept only for "text/" types)
// and the payload bytes (Base64 when the text contains ";base64,", else
// percent-encoded UTF-8), or absent.
std::optional<DataURL> decodeDataURL(std::string_view text);
// "data:" + (mimeType or "text/plain") + ";base64," + Base64 of the bytes.
std::string encodeDataURL(std::span<const std::uint8_t> bytes,
                          const std::optional<std::string>& mimeType = std::nullopt);

// Standard Base64 with "=" padding and no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);
// Strict: any character outside the alphabet or wrong padding gives absent.
std::optional<Bytes> base64Decode(std::string_view text);

// ---- UnitInterval -------------------------------------------------------

// A double within 0...1.
class UnitInterval {
public:
    // For constants: anything outside 0...1 is a programming error.
    constexpr UnitInterval(double v) : value_(v) {
        if (!(v >= 0.0 && v <= 1.0)) outOfRange();
    }
    // Integer constants: only 0 and 1.
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    constexpr UnitInterval(T v) : value_(static_cast<double>(v)) {
        if (v != 0 && v != 1) outOfRange();
    }
    // Absent below 0, above 1 or for NaN.
    static std::optional<UnitInterval> make(double v) {
        if (!(v >= 0.0 && v <= 1.0)) return std::nullopt;
        return UnitInterval(v);
    }

    constexpr double value() const { return value_; }
    // The platform's standard text of the double ("0.5", "1.0").
    std::string description() const;

    friend constexpr bool operator==(UnitInterval a, UnitInterval b) { return a.value_ == b.value_; }
    friend constexpr auto operator<=>(UnitInterval a, UnitInterval b) { return a.value_ <=> b.value_; }
    friend void hashInto(Hasher& h, UnitInterval u) { hashInto(h, u.value_); }

private:
    [[noreturn]] static void outOfRange();
    double value_;
};

json::Value toJson(UnitInterval u);
// Fails with "Value <x> is not in range 0...1" (data corrupted).
UnitInterval fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<UnitInterval>);

}  // namespace mcp

template <>
struct std::hash<mcp::Value> {
    std::size_t operator()(const mcp::Value& v) const { return mcp::hashValue(v); }
};
