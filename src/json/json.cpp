#include "json/json.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>
#include <unordered_set>

namespace json {

// ---- Errors -------------------------------------------------------------

namespace {
constexpr const char* kMissingText = "The data couldn\u2019t be read because it is missing.";
constexpr const char* kCorruptText =
    "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
constexpr const char* kUnwritableText =
    "The data couldn\u2019t be written because it isn\u2019t in the correct format.";
}  // namespace

DecodingError::DecodingError(Kind kind, std::string debugDescription, CodingPath path)
    : kind_(kind), debug_(std::move(debugDescription)), path_(std::move(path)) {}

DecodingError DecodingError::keyNotFound(std::string_view key, CodingPath path) {
    std::string text = "No value associated with key ";
    writeString(text, key);
    text += '.';
    return DecodingError(Kind::KeyNotFound, std::move(text), std::move(path));
}

DecodingError DecodingError::valueNotFound(std::string_view expectedType, CodingPath path) {
    std::string text = "Expected ";
    text.append(expectedType).append(" value but found null instead.");
    return DecodingError(Kind::ValueNotFound, std::move(text), std::move(path));
}

DecodingError DecodingError::typeMismatch(std::string_view expectedType, CodingPath path) {
    std::string text = "Expected to decode ";
    text.append(expectedType).append(" but found a different kind of value instead.");
    return DecodingError(Kind::TypeMismatch, std::move(text), std::move(path));
}

DecodingError DecodingError::dataCorrupted(std::string debugDescription, CodingPath path) {
    return DecodingError(Kind::DataCorrupted, std::move(debugDescription), std::move(path));
}

const char* DecodingError::what() const noexcept {
    return kind_ == Kind::KeyNotFound || kind_ == Kind::ValueNotFound ? kMissingText : kCorruptText;
}

EncodingError::EncodingError(std::string debugDescription) : debug_(std::move(debugDescription)) {}

const char* EncodingError::what() const noexcept { return kUnwritableText; }

// ---- Number texts -------------------------------------------------------

namespace {

// Longest text: "-" + 17 digits + "." + "e-308" is 25 bytes; the plain form
// is at most "-0.0000" + 17 digits or "-" + 16 digits + ".0".
constexpr std::size_t kDoubleBuffer = 48;

// Writes the description text of a finite x into buf; returns its length.
// With dropIntegralFraction the ".0" of an integral plain decimal is left off.
std::size_t layoutDouble(char* buf, double x, bool dropIntegralFraction) {
    // Shortest round-trip digits, always as d[.ddd]e±XX.
    std::array<char, kDoubleBuffer> sci{};
    auto res = std::to_chars(sci.data(), sci.data() + sci.size(), x, std::chars_format::scientific);
    const char* p = sci.data();
    const char* end = res.ptr;

    constexpr double kTwo53 = 9007199254740992.0;
    const char* e = static_cast<const char*>(std::memchr(p, 'e', static_cast<std::size_t>(end - p)));
    int exponent = 0;
    std::from_chars(e[1] == '+' ? e + 2 : e + 1, end, exponent);  // takes the '-' itself

    if (exponent < -4 || std::fabs(x) > kTwo53) {
        // The scientific text already has the required layout ("1e-05", "1e+16").
        std::size_t n = static_cast<std::size_t>(end - p);
        std::memcpy(buf, p, n);
        return n;
    }

    char* out = buf;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    // Collect the significant digits without the point.
    char digits[24];
    std::size_t nd = 0;
    for (const char* q = p; q < e; ++q)
        if (*q != '.') digits[nd++] = *q;

    if (exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = -1; i > exponent; --i) *out++ = '0';
        std::memcpy(out, digits, nd);
        out += nd;
    } else {
        const std::size_t intDigits = static_cast<std::size_t>(exponent) + 1;
        if (nd <= intDigits) {
            std::memcpy(out, digits, nd);
            out += nd;
            for (std::size_t i = nd; i < intDigits; ++i) *out++ = '0';
            if (!dropIntegralFraction) {
                *out++ = '.';
                *out++ = '0';
            }
        } else {
            std::memcpy(out, digits, intDigits);
            out += intDigits;
            *out++ = '.';
            std::memcpy(out, digits + intDigits, nd - intDigits);
            out += nd - intDigits;
        }
    }
    return static_cast<std::size_t>(out - buf);
}

}  // namespace

std::string describeDouble(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    char buf[kDoubleBuffer];
    return std::string(buf, layoutDouble(buf, x, false));
}

std::string formatDouble(double x) {
    if (!std::isfinite(x)) return describeDouble(x);
    char buf[kDoubleBuffer];
    return std::string(buf, layoutDouble(buf, x, true));
}

// ---- Writing ------------------------------------------------------------

namespace {

// Bytes that end a run of literal output: quote, backslash, controls, and
// non-ASCII (checked for well-formed UTF-8). The slash is decided per call.
constexpr std::array<bool, 256> makeLiteralTable() {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = true;
    t['"'] = false;
    t['\\'] = false;
    return t;
}
constexpr std::array<bool, 256> kLiteral = makeLiteralTable();

// Length of the well-formed UTF-8 sequence at s[i] (lead byte >= 0x80), or 0
// when ill-formed; then *skip is the length of its maximal ill-formed prefix,
// which is replaced by one U+FFFD.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i, std::size_t* skip) {
    const auto byte = [&](std::size_t k) -> unsigned {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
    };
    const unsigned lead = byte(0);
    std::size_t need;
    unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        *skip = 1;
        return 0;
    }
    for (std::size_t k = 1; k < need; ++k) {
        const unsigned b = byte(k);
        const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) {
            *skip = k;
            return 0;
        }
    }
    return need;
}

constexpr char kHex[] = "0123456789abcdef";

void appendEscaped(std::string& out, std::string_view text, bool escapeSlashes) {
    out.push_back('"');
    const char* data = text.data();
    const std::size_t n = text.size();
    std::size_t runStart = 0;
    std::size_t i = 0;
    const auto flush = [&](std::size_t upTo) {
        if (upTo > runStart) out.append(data + runStart, upTo - runStart);
    };
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (kLiteral[c] && !(c == '/' && escapeSlashes)) {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            std::size_t skip = 0;
            if (std::size_t len = utf8SequenceLength(text, i, &skip)) {
                i += len;
                continue;
            }
            // Ill-formed UTF-8 would make the whole message unreadable for the
            // peer; write the replacement character instead.
            flush(i);
            out.append("\xEF\xBF\xBD");
            i += skip;
            runStart = i;
            continue;
        }
        flush(i);
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '/': out.append("\\/"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default: {
                const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                out.append(esc, sizeof esc);
            }
        }
        ++i;
        runStart = i;
    }
    flush(n);
    out.push_back('"');
}

class Writer {
public:
    Writer(std::string& out, const WriteOptions& options) : out_(out), opt_(options) {}

    void value(const Value& v, int level) {
        switch (v.kind()) {
            case Kind::Null: out_.append("null"); break;
            case Kind::Bool: out_.append(v.asBool() ? "true" : "false"); break;
            case Kind::Int: integer(v.asInt()); break;
            case Kind::Double: number(v.asDouble()); break;
            case Kind::String: appendEscaped(out_, v.asString(), opt_.escapeSlashes); break;
            case Kind::Array: array(v.asArray(), level); break;
            case Kind::Object: object(v.asObject(), level); break;
        }
    }

private:
    void integer(std::int64_t i) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, i);
        out_.append(buf, res.ptr);
    }

    void number(double d) {
        if (!std::isfinite(d))
            throw EncodingError("Unable to encode " + describeDouble(d) + " directly in JSON.");
        char buf[kDoubleBuffer];
        out_.append(buf, layoutDouble(buf, d, true));
    }

    void newline(int level) {
        out_.push_back('\n');
        out_.append(static_cast<std::size_t>(level) * 2, ' ');
    }

    void array(const Array& a, int level) {
        out_.push_back('[');
        if (a.empty()) {
            out_.push_back(']');
            return;
        }
        bool first = true;
        for (const Value& element : a) {
            if (!first) out_.push_back(',');
            first = false;
            if (opt_.pretty) newline(level + 1);
            value(element, level + 1);
        }
        if (opt_.pretty) newline(level);
        out_.push_back(']');
    }

    void member(const Object::Member& m, bool first, int level) {
        if (!first) out_.push_back(',');
        if (opt_.pretty) newline(level + 1);
        appendEscaped(out_, m.first, opt_.escapeSlashes);
        if (opt_.pretty)
            out_.append(" : ");
        else
            out_.push_back(':');
        value(m.second, level + 1);
    }

    void object(const Object& o, int level) {
        out_.push_back('{');
        if (o.empty()) {
            out_.push_back('}');
            return;
        }
        if (opt_.sortedKeys && o.size() > 1) {
            // One scratch vector for every level; nested objects push above our
            // range, so index into it rather than holding iterators.
            const std::size_t base = scratch_.size();
            for (const Object::Member& m : o) scratch_.push_back(&m);
            std::sort(scratch_.begin() + static_cast<std::ptrdiff_t>(base), scratch_.end(),
                      [](const Object::Member* a, const Object::Member* b) {
                          // char_traits<char> compares as unsigned char: UTF-8 byte order.
                          return a->first < b->first;
                      });
            const std::size_t count = o.size();
            for (std::size_t k = 0; k < count; ++k) member(*scratch_[base + k], k == 0, level);
            scratch_.resize(base);
        } else {
            bool first = true;
            for (const Object::Member& m : o) {
                member(m, first, level);
                first = false;
            }
        }
        if (opt_.pretty) newline(level);
        out_.push_back('}');
    }

    std::string& out_;
    const WriteOptions& opt_;
    std::vector<const Object::Member*> scratch_;
};

}  // namespace

void writeString(std::string& out, std::string_view text, bool escapeSlashes) {
    appendEscaped(out, text, escapeSlashes);
}

void writeTo(std::string& out, const Value& value, WriteOptions options) {
    const std::size_t before = out.size();
    try {
        Writer(out, options).value(value, 0);
    } catch (...) {
        out.resize(before);  // nothing of a failed value is left behind
        throw;
    }
}

std::string write(const Value& value, WriteOptions options) {
    std::string out;
    out.reserve(256);
    Writer(out, options).value(value, 0);
    return out;
}

// ---- Reading ------------------------------------------------------------

namespace {

const char kInvalidJson[] = "The given data was not valid JSON.";

using Nl = nlohmann::json;

// nlohmann's message without its "[json.exception...] " tag and without the
// echoed input ("last read: '...'"), which may hold raw, ill-formed bytes.
std::string describeParseFailure(const std::string& what) {
    std::string_view msg = what;
    if (!msg.empty() && msg.front() == '[') {
        const auto close = msg.find("] ");
        if (close != std::string_view::npos) msg.remove_prefix(close + 2);
    }
    std::string detail;
    const auto lastRead = msg.find("; last read: '");
    if (lastRead == std::string_view::npos) {
        detail.assign(msg);
    } else {
        detail.assign(msg.substr(0, lastRead));
        const auto expected = msg.rfind("'; expected ");
        if (expected != std::string_view::npos && expected > lastRead)
            detail.append(msg.substr(expected + 1));
    }
    if (!detail.empty() && detail.front() >= 'a' && detail.front() <= 'z')
        detail.front() = static_cast<char>(detail.front() - 'a' + 'A');
    if (!detail.empty() && detail.back() != '.') detail.push_back('.');
    return detail;
}

// Builds Values straight from nlohmann's SAX events: each scalar is moved into
// the slot its container prepared, with no intermediate document.
class Builder {
public:
    explicit Builder(Value& root) : root_(root) {}

    // nlohmann stops at the first callback that returns false.
    bool null() { return put(Value()); }
    bool boolean(bool b) { return put(Value(b)); }
    bool number_integer(Nl::number_integer_t i) { return put(Value(static_cast<long long>(i))); }
    bool number_unsigned(Nl::number_unsigned_t u) {
        if (u <= static_cast<Nl::number_unsigned_t>(std::numeric_limits<std::int64_t>::max()))
            return put(Value(static_cast<long long>(u)));
        return put(Value(static_cast<double>(u)));  // exact: conversion rounds to nearest
    }
    bool number_float(Nl::number_float_t parsed, const std::string& raw) {
        return put(classifyFloat(parsed, raw));
    }
    bool string(std::string& s) { return put(Value(std::move(s))); }
    bool binary(Nl::binary_t&) { return fail("Binary values are not JSON."); }

    bool start_object(std::size_t) {
        if (!enter()) return false;
        Value& slot = nextSlot();
        slot = Value(Object());
        stack_.emplace_back(&slot);
        return true;
    }
    bool key(std::string& k) {
        Frame& f = stack_.back();
        Object& o = f.container->asObject();
        std::size_t existing = f.indexOf(o, k);
        if (existing != Frame::npos) {
            f.slot = existing;  // a repeated key: the later value wins, in the first position
        } else {
            f.slot = o.size();
            o.appendUnchecked(std::move(k), Value());
            f.indexed(o);
        }
        return true;
    }
    bool end_object() {
        stack_.pop_back();
        return true;
    }
    bool start_array(std::size_t) {
        if (!enter()) return false;
        Value& slot = nextSlot();
        slot = Value(Array());
        stack_.emplace_back(&slot);
        return true;
    }
    bool end_array() {
        stack_.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
        return fail(describeParseFailure(ex.what()));
    }

    const std::string& error() const { return error_; }

private:
    // Key lookup for large objects: a set of member indices hashed by key,
    // so building an object with many members stays linear.
    struct KeyHash {
        using is_transparent = void;
        const std::vector<Object::Member>* members;
        std::size_t operator()(std::size_t i) const { return (*this)((*members)[i].first); }
        std::size_t operator()(std::string_view k) const { return std::hash<std::string_view>{}(k); }
    };
    struct KeyEq {
        using is_transparent = void;
        const std::vector<Object::Member>* members;
        std::string_view key(std::size_t i) const { return (*members)[i].first; }
        bool operator()(std::size_t a, std::size_t b) const { return key(a) == key(b); }
        bool operator()(std::string_view a, std::size_t b) const { return a == key(b); }
        bool operator()(std::size_t a, std::string_view b) const { return key(a) == b; }
    };
    using KeyIndex = std::unordered_set<std::size_t, KeyHash, KeyEq>;

    struct Frame {
        static constexpr std::size_t npos = static_cast<std::size_t>(-1);
        static constexpr std::size_t kLinearLimit = 16;

        explicit Frame(Value* c) : container(c) {}

        Value* container;
        std::size_t slot = npos;       // member index awaiting its value
        std::unique_ptr<KeyIndex> index;

        std::size_t indexOf(const Object& o, std::string_view k) {
            if (index) {
                auto it = index->find(k);
                return it == index->end() ? npos : *it;
            }
            const auto& members = o.members();
            for (std::size_t i = 0; i < members.size(); ++i)
                if (members[i].first == k) return i;
            return npos;
        }
        void indexed(const Object& o) {
            const auto& members = o.members();
            if (index) {
                index->insert(members.size() - 1);
            } else if (members.size() > kLinearLimit) {
                index = std::make_unique<KeyIndex>(members.size() * 2, KeyHash{&members}, KeyEq{&members});
                for (std::size_t i = 0; i < members.size(); ++i) index->insert(i);
            }
        }
    };

    bool enter() {
        if (stack_.size() >= static_cast<std::size_t>(kMaxDepth))
            return fail("Arrays and objects are nested deeper than " + std::to_string(kMaxDepth) +
                        " levels.");
        return true;
    }

    Value& nextSlot() {
        if (stack_.empty()) return root_;
        Frame& f = stack_.back();
        if (f.container->isArray()) return f.container->asArray().emplace_back();
        return (f.container->asObject().begin() + static_cast<std::ptrdiff_t>(f.slot))->second;
    }

    bool put(Value&& v) {
        nextSlot() = std::move(v);
        return true;
    }

    bool fail(std::string detail) {
        error_ = std::move(detail);
        return false;
    }

    // An integral value in [-2^63, 2^63) written with a fraction or an
    // exponent reads as Int; an integer literal beyond 64 bits, and any other
    // number, as the Double nearest to the literal.
    static Value classifyFloat(double parsed, const std::string& raw) {
        const bool integerLiteral =
            raw.find_first_not_of("-0123456789") == std::string::npos;
        double d = 0;
        const char* first = raw.data();
        const char* last = first + raw.size();
        auto res = std::from_chars(first, last, d);
        if (res.ptr != last) {
            // nlohmann swaps '.' for the locale's decimal point; undo that.
            char buf[512];
            std::string copy;
            char* p = buf;
            if (raw.size() > sizeof buf) {
                copy.resize(raw.size());
                p = copy.data();
            }
            for (std::size_t i = 0; i < raw.size(); ++i) {
                const char c = raw[i];
                const bool numeric = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == 'e' || c == 'E';
                p[i] = numeric ? c : '.';
            }
            res = std::from_chars(p, p + raw.size(), d);
        }
        if (res.ec == std::errc::result_out_of_range) {
            // nlohmann has refused overflow already, so this is underflow: the
            // nearest double is a zero of the literal's sign.
            return Value(raw.front() == '-' ? -0.0 : 0.0);
        }
        if (res.ec != std::errc()) d = parsed;
        constexpr double kTwo63 = 9223372036854775808.0;
        if (!integerLiteral && d >= -kTwo63 && d < kTwo63 && std::trunc(d) == d)
            return Value(static_cast<long long>(d));
        return Value(d);
    }

    Value& root_;
    std::vector<Frame> stack_;
    std::string error_;
};

}  // namespace

Value parse(std::string_view text) {
    Value root;
    Builder builder(root);
    const bool ok = Nl::sax_parse(text.data(), text.data() + text.size(), &builder);
    if (!ok) {
        std::string debug = kInvalidJson;
        if (!builder.error().empty()) debug.append(" ").append(builder.error());
        throw DecodingError::dataCorrupted(std::move(debug));
    }
    return root;
}

}  // namespace json
