// The plain values a tool call's arguments and a tool's input schema are
// made of, and the exact-type reads the families use on them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace app::tools {

struct AnyData {
    std::optional<std::string> mimeType;
    std::vector<std::uint8_t> bytes;
    friend bool operator==(const AnyData&, const AnyData&) = default;
};

class AnyValue;
using AnyList = std::vector<AnyValue>;
using AnyMap = std::map<std::string, AnyValue, std::less<>>;
// A tool call's arguments.
using Arguments = AnyMap;

class AnyValue {
public:
    enum class Kind { Null, Bool, Int, Double, Text, Data, List, Map };

    AnyValue() = default;
    AnyValue(std::nullptr_t) {}
    AnyValue(bool b) : v_(b) {}
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
    AnyValue(T i) : v_(static_cast<std::int64_t>(i)) {}
    AnyValue(double d) : v_(d) {}
    AnyValue(const char* s) : v_(std::string(s)) {}
    AnyValue(std::string s) : v_(std::move(s)) {}
    AnyValue(std::string_view s) : v_(std::string(s)) {}
    AnyValue(AnyData d) : v_(std::move(d)) {}
    AnyValue(AnyList l) : v_(std::move(l)) {}
    AnyValue(AnyMap m) : v_(std::move(m)) {}

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isNull() const { return kind() == Kind::Null; }

    // Absent unless the value is of that very kind: an integer is no double.
    const bool* ifBool() const { return std::get_if<bool>(&v_); }
    const std::int64_t* ifInt() const { return std::get_if<std::int64_t>(&v_); }
    const double* ifDouble() const { return std::get_if<double>(&v_); }
    const std::string* ifText() const { return std::get_if<std::string>(&v_); }
    const AnyData* ifData() const { return std::get_if<AnyData>(&v_); }
    const AnyList* ifList() const { return std::get_if<AnyList>(&v_); }
    const AnyMap* ifMap() const { return std::get_if<AnyMap>(&v_); }
    AnyList* ifList() { return std::get_if<AnyList>(&v_); }
    AnyMap* ifMap() { return std::get_if<AnyMap>(&v_); }

    friend bool operator==(const AnyValue& a, const AnyValue& b) { return a.v_ == b.v_; }

private:
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, AnyData, AnyList, AnyMap> v_{nullptr};
};

// Exact-type reads of one argument: absent when the key is missing or its
// value is of another kind.
std::optional<std::string> textArgument(const Arguments& arguments, std::string_view key);
std::optional<std::int64_t> intArgument(const Arguments& arguments, std::string_view key);
std::optional<double> doubleArgument(const Arguments& arguments, std::string_view key);
std::optional<bool> boolArgument(const Arguments& arguments, std::string_view key);
const AnyList* listArgument(const Arguments& arguments, std::string_view key);
const AnyMap* mapArgument(const Arguments& arguments, std::string_view key);

}  // namespace app::tools
