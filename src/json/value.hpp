// A plain JSON document: what the reader builds and the writer prints.
// Objects keep their members in insertion order; the writer can sort them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace json {

class Value;
using Array = std::vector<Value>;

// Insertion-ordered members with unique keys. Lookups are linear: protocol
// objects are small, and order matters more than asymptotics here.
class Object {
public:
    using Member = std::pair<std::string, Value>;
    using iterator = std::vector<Member>::iterator;
    using const_iterator = std::vector<Member>::const_iterator;

    Object() = default;
    Object(std::initializer_list<Member> members);  // a repeated key keeps the later value

    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const;
    // Inserts at the end, or replaces the value in place when the key exists.
    Value& set(std::string key, Value value);
    Value& operator[](std::string_view key);  // inserts null when missing
    bool erase(std::string_view key);

    // Defined below Value: the members need it complete.
    std::size_t size() const;
    bool empty() const;
    void reserve(std::size_t n);
    iterator begin();
    iterator end();
    const_iterator begin() const;
    const_iterator end() const;
    const std::vector<Member>& members() const { return members_; }

    // Appends without checking for a duplicate key (the reader checks itself).
    void appendUnchecked(std::string key, Value value);

    friend bool operator==(const Object& a, const Object& b);  // same key set, equal values

private:
    std::vector<Member> members_;
};

enum class Kind { Null, Bool, Int, Double, String, Array, Object };

class Value {
public:
    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Object o) : v_(std::move(o)) {}

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isNull() const { return kind() == Kind::Null; }
    bool isBool() const { return kind() == Kind::Bool; }
    bool isInt() const { return kind() == Kind::Int; }
    bool isDouble() const { return kind() == Kind::Double; }
    bool isNumber() const { return isInt() || isDouble(); }
    bool isString() const { return kind() == Kind::String; }
    bool isArray() const { return kind() == Kind::Array; }
    bool isObject() const { return kind() == Kind::Object; }

    // Unchecked accessors: the caller has tested the kind.
    bool asBool() const { return std::get<bool>(v_); }
    std::int64_t asInt() const { return std::get<std::int64_t>(v_); }
    double asDouble() const { return std::get<double>(v_); }
    // An integer as a double, a double as is.
    double asNumber() const { return isInt() ? static_cast<double>(asInt()) : asDouble(); }
    const std::string& asString() const { return std::get<std::string>(v_); }
    std::string& asString() { return std::get<std::string>(v_); }
    const Array& asArray() const { return std::get<Array>(v_); }
    Array& asArray() { return std::get<Array>(v_); }
    const Object& asObject() const { return std::get<Object>(v_); }
    Object& asObject() { return std::get<Object>(v_); }

    // Member lookup on an object; nullptr for a missing key or a non-object.
    const Value* find(std::string_view key) const { return isObject() ? asObject().find(key) : nullptr; }

    // Structural equality: Int 1 differs from Double 1.0; objects compare as key sets.
    friend bool operator==(const Value& a, const Value& b);

private:
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, Array, Object> v_{nullptr};
};

inline bool Object::contains(std::string_view key) const { return find(key) != nullptr; }
inline std::size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline void Object::reserve(std::size_t n) { members_.reserve(n); }
inline Object::iterator Object::begin() { return members_.begin(); }
inline Object::iterator Object::end() { return members_.end(); }
inline Object::const_iterator Object::begin() const { return members_.begin(); }
inline Object::const_iterator Object::end() const { return members_.end(); }

}  // namespace json
