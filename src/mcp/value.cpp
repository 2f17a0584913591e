#include "mcp/value.hpp"

#include "mcp/unicode_text.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace mcp {
namespace {

// The key as a string constant: quoted, with escapes.
void appendQuoted(std::string& out, std::string_view s) {
    out.push_back('"');
    for (char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char buf[12];
                std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += buf;
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
}

void describe(std::string& out, const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Null: return;
    case Value::Kind::Bool: out += *v.boolValue() ? "true" : "false"; return;
    case Value::Kind::Int: out += std::to_string(*v.intValue()); return;
    case Value::Kind::Double: out += json::describeDouble(*v.doubleValue()); return;
    case Value::Kind::String: out += *v.stringValue(); return;
    case Value::Kind::Data: out += encodeDataURL(v.dataValue()->bytes, v.dataValue()->mimeType); return;
    case Value::Kind::Array: {
        out.push_back('[');
        bool first = true;
        for (const auto& item : *v.arrayValue()) {
            if (!first) out += ", ";
            first = false;
            describe(out, item);
        }
        out.push_back(']');
        return;
    }
    case Value::Kind::Object: {
        const auto& object = *v.objectValue();
        if (object.empty()) {
            out += "[:]";
            return;
        }
        out.push_back('[');
        bool first = true;
        for (const auto& [key, item] : object) {
            if (!first) out += ", ";
            first = false;
            appendQuoted(out, key);
            out += ": ";
            describe(out, item);
        }
        out.push_back(']');
        return;
    }
    }
}

bool optionalTextEquals(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (!a || !b) return !a && !b;
    return textEquals(*a, *b);
}

bool objectsEqual(const Object& a, const Object& b) {
    if (a.size() != b.size()) return false;
    for (const auto& member : a) {
        const auto& [key, item] = member;
        auto it = b.find(key);
        if (it == b.end()) {
            // A key spelled in another normal form is still the same key.
            it = std::find_if(b.begin(), b.end(), [&](const auto& entry) { return textEquals(entry.first, member.first); });
            if (it == b.end()) return false;
        }
        if (!(it->second == item)) return false;
    }
    return true;
}

// A peer's text stays text, even when it reads like a data URL ("data:,hi" or
// "data: see attached"): rewriting it as base64 or as bytes would change what
// a handler, tool or peer receives. Callers wanting bytes ask decodeDataURL.
Value fromJsonString(std::string&& text) { return Value(std::move(text)); }

template <class J>
Value convert(J&& v, json::CodingPath& path) {
    constexpr bool move = !std::is_lvalue_reference_v<J> && !std::is_const_v<std::remove_reference_t<J>>;
    switch (v.kind()) {
    case json::Kind::Null: return Value();
    case json::Kind::Bool: return Value(v.asBool());
    case json::Kind::Int: return Value(v.asInt());
    case json::Kind::Double: return Value(v.asDouble());
    case json::Kind::String:
        if constexpr (move) {
            return fromJsonString(std::move(v.asString()));
        } else {
            return fromJsonString(std::string(v.asString()));
        }
    case json::Kind::Array: {
        Array out;
        auto& items = v.asArray();
        out.reserve(items.size());
        // No coding path per element: nothing below can fail.
        for (std::size_t i = 0; i < items.size(); ++i) {
            if constexpr (move) {
                out.push_back(convert(std::move(items[i]), path));
            } else {
                out.push_back(convert(items[i], path));
            }
        }
        return Value(std::move(out));
    }
    case json::Kind::Object: {
        Object out;
        for (auto& member : v.asObject()) {
            if constexpr (move) {
                out.insert_or_assign(std::move(member.first), convert(std::move(member.second), path));
            } else {
                out.insert_or_assign(member.first, convert(member.second, path));
            }
        }
        return Value(std::move(out));
    }
    }
    throw json::DecodingError::dataCorrupted("Value type not found", path);
}

template <class V>
json::Value toJsonImpl(V&& v) {
    constexpr bool move = !std::is_lvalue_reference_v<V> && !std::is_const_v<std::remove_reference_t<V>>;
    switch (v.kind()) {
    case Value::Kind::Null: return json::Value();
    case Value::Kind::Bool: return json::Value(*v.boolValue());
    case Value::Kind::Int: return json::Value(static_cast<long long>(*v.intValue()));
    case Value::Kind::Double: return json::Value(*v.doubleValue());
    case Value::Kind::String:
        if constexpr (move) {
            return json::Value(std::move(*v.stringValue()));
        } else {
            return json::Value(*v.stringValue());
        }
    case Value::Kind::Data: return json::Value(encodeDataURL(v.dataValue()->bytes, v.dataValue()->mimeType));
    case Value::Kind::Array: {
        json::Array out;
        auto& items = *v.arrayValue();
        out.reserve(items.size());
        for (auto& item : items) {
            if constexpr (move) {
                out.push_back(toJsonImpl(std::move(item)));
            } else {
                out.push_back(toJsonImpl(item));
            }
        }
        return json::Value(std::move(out));
    }
    case Value::Kind::Object: {
        json::Object out;
        auto& object = *v.objectValue();
        out.reserve(object.size());
        for (auto& [key, item] : object) {
            if constexpr (move) {
                out.appendUnchecked(key, toJsonImpl(std::move(item)));
            } else {
                out.appendUnchecked(key, toJsonImpl(item));
            }
        }
        return json::Value(std::move(out));
    }
    }
    return json::Value();
}

bool isDecimalDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

}  // namespace

Value Value::object(std::initializer_list<std::pair<std::string, Value>> entries) {
    Object out;
    for (const auto& [key, item] : entries) out.insert_or_assign(key, item);
    return Value(std::move(out));
}

std::optional<bool> Value::boolValue() const {
    if (const auto* b = std::get_if<bool>(&v_)) return *b;
    return std::nullopt;
}

std::optional<std::int64_t> Value::intValue() const {
    if (const auto* i = std::get_if<std::int64_t>(&v_)) return *i;
    return std::nullopt;
}

std::optional<double> Value::doubleValue() const {
    if (const auto* d = std::get_if<double>(&v_)) return *d;
    return std::nullopt;
}

std::string Value::description() const {
    std::string out;
    describe(out, *this);
    return out;
}

bool operator==(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
    case Value::Kind::Null: return true;
    case Value::Kind::Bool: return *a.boolValue() == *b.boolValue();
    case Value::Kind::Int: return *a.intValue() == *b.intValue();
    case Value::Kind::Double: return *a.doubleValue() == *b.doubleValue();
    case Value::Kind::String: return textEquals(*a.stringValue(), *b.stringValue());
    case Value::Kind::Data:
        return a.dataValue()->bytes == b.dataValue()->bytes &&
               optionalTextEquals(a.dataValue()->mimeType, b.dataValue()->mimeType);
    case Value::Kind::Array: return *a.arrayValue() == *b.arrayValue();
    case Value::Kind::Object: return objectsEqual(*a.objectValue(), *b.objectValue());
    }
    return false;
}

void hashInto(Hasher& h, const Value& v) {
    h.combine(static_cast<std::uint64_t>(v.kind()));
    switch (v.kind()) {
    case Value::Kind::Null: return;
    case Value::Kind::Bool: hashInto(h, *v.boolValue()); return;
    case Value::Kind::Int: hashInto(h, *v.intValue()); return;
    case Value::Kind::Double: hashInto(h, *v.doubleValue()); return;
    case Value::Kind::String: hashText(h, *v.stringValue()); return;
    case Value::Kind::Data: {
        const auto& d = *v.dataValue();
        if (d.mimeType) {
            hashInto(h, true);
            hashText(h, *d.mimeType);
        } else {
            hashInto(h, false);
        }
        h.combine(d.bytes.size());
        h.combineBytes(d.bytes.data(), d.bytes.size());
        return;
    }
    case Value::Kind::Array:
        h.combine(v.arrayValue()->size());
        for (const auto& item : *v.arrayValue()) hashInto(h, item);
        return;
    case Value::Kind::Object: {
        // Independent of entry order: each entry hashed from the same state, then xor-ed.
        std::uint64_t combined = 0;
        for (const auto& [key, item] : *v.objectValue()) {
            Hasher entry = h;
            hashText(entry, key);
            hashInto(entry, item);
            combined ^= entry.finish();
        }
        h.combine(combined);
        return;
    }
    }
}

std::optional<bool> toBool(const Value& value, bool strict) {
    if (auto b = value.boolValue()) return b;
    if (strict) return std::nullopt;
    if (auto i = value.intValue()) {
        if (*i == 0) return false;
        if (*i == 1) return true;
        return std::nullopt;
    }
    if (auto d = value.doubleValue()) {
        if (*d == 0.0) return false;
        if (*d == 1.0) return true;
        return std::nullopt;
    }
    if (const auto* s = value.stringValue()) {
        for (std::string_view t : {"true", "t", "yes", "y", "on", "1"}) {
            if (*s == t) return true;
        }
        for (std::string_view f : {"false", "f", "no", "n", "off", "0"}) {
            if (*s == f) return false;
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> toInt(const Value& value, bool strict) {
    if (auto i = value.intValue()) return i;
    if (strict) return std::nullopt;
    if (auto d = value.doubleValue()) {
        if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -0x1p63 && *d < 0x1p63) {
            return static_cast<std::int64_t>(*d);
        }
        return std::nullopt;
    }
    if (const auto* s = value.stringValue()) {
        std::string_view text = *s;
        std::string_view digits = text;
        if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
        if (!isDecimalDigits(digits)) return std::nullopt;
        // from_chars takes "-" but not "+".
        std::string_view parsed = text.front() == '+' ? digits : text;
        std::int64_t n = 0;
        auto [end, ec] = std::from_chars(parsed.data(), parsed.data() + parsed.size(), n, 10);
        if (ec != std::errc() || end != parsed.data() + parsed.size()) return std::nullopt;
        return n;
    }
    return std::nullopt;
}

std::optional<double> toDouble(const Value& value, bool strict) {
    if (auto d = value.doubleValue()) return d;
    if (auto i = value.intValue()) return static_cast<double>(*i);
    if (strict) return std::nullopt;
    if (const auto* s = value.stringValue()) {
        if (s->empty() || std::isspace(static_cast<unsigned char>(s->front()))) return std::nullopt;
        const char* begin = s->c_str();
        char* end = nullptr;
        double d = strtod_l(begin, &end, cLocale());
        if (end != begin + s->size()) return std::nullopt;
        return d;
    }
    return std::nullopt;
}

std::optional<std::string> toString(const Value& value, bool strict) {
    if (const auto* s = value.stringValue()) return *s;
    if (strict) return std::nullopt;
    if (auto b = value.boolValue()) return std::string(*b ? "true" : "false");
    if (auto i = value.intValue()) return std::to_string(*i);
    if (auto d = value.doubleValue()) return json::describeDouble(*d);
    return std::nullopt;
}

json::Value toJson(const Value& value) { return toJsonImpl(value); }
json::Value toJson(Value&& value) { return toJsonImpl(std::move(value)); }

Value fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Value>) { return convert(v, path); }
Value fromJson(json::Value&& v, json::CodingPath& path, std::type_identity<Value>) {
    return convert(std::move(v), path);
}

// ---- UnitInterval -------------------------------------------------------

void UnitInterval::outOfRange() {
    std::fputs("UnitInterval: constant outside 0...1\n", stderr);
    std::abort();
}

std::string UnitInterval::description() const { return json::describeDouble(value_); }

json::Value toJson(UnitInterval u) { return json::Value(u.value()); }

UnitInterval fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<UnitInterval>) {
    double x = decode<double>(v, path);
    if (auto u = UnitInterval::make(x)) return *u;
    throw json::DecodingError::dataCorrupted("Value " + json::describeDouble(x) + " is not in range 0...1", path);
}

}  // namespace mcp
