#include "json/json.hpp"

#include "json/parse_with_library.hpp"
#include "json/utf8.hpp"

#include <nlohmann/json.hpp>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
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

TooLarge::TooLarge()
    : DecodingError(Kind::DataCorrupted, "The data is larger than a reading may build.") {}

const char* EncodingError::what() const noexcept { return kUnwritableText; }

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
    Builder(Value& root, ReadBudget budget) : root_(root), budget_(budget) { stack_.reserve(8); }

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
    // The fast reader's float event: `exact` is the double nearest to the
    // literal, already read with from_chars and within range.
    bool number_exact(double exact, bool integerLiteral) { return put(classifyExact(exact, integerLiteral)); }
    bool string(std::string& s) { return text(s.size()) && put(Value(std::move(s))); }
    bool binary(Nl::binary_t&) { return fail("Binary values are not JSON."); }

    bool start_object(std::size_t) {
        if (!enter()) return false;
        Value& slot = nextSlot();
        slot = Value(Object());
        stack_.emplace_back(&slot);
        return true;
    }
    bool key(std::string& k) {
        if (!count() || !text(k.size())) return false;
        Frame& f = stack_.back();
        Object& o = f.container->asObject();
        std::size_t existing = f.indexOf(o, k);
        if (existing != Frame::npos) {
            f.slot = existing;  // a repeated key: the later value wins, in the first position
        } else {
            f.slot = o.size();
            if (o.empty()) o.reserve(2);  // skip the first growth: most objects have two members or more
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
    bool overBudget() const { return overBudget_; }

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

    bool count() {
        if (budget_.values == 0) return overBudget_ = true, fail("Too many values.");
        --budget_.values;
        return true;
    }
    bool text(std::size_t bytes) {
        if (bytes > budget_.textBytes) return overBudget_ = true, fail("Too much text.");
        budget_.textBytes -= bytes;
        return true;
    }

    bool enter() {
        if (!count()) return false;
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
        if (!count()) return false;
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
    static Value classifyExact(double d, bool integerLiteral) {
        constexpr double kTwo63 = 9223372036854775808.0;
        if (!integerLiteral && d >= -kTwo63 && d < kTwo63 && std::trunc(d) == d)
            return Value(static_cast<long long>(d));
        return Value(d);
    }

    static Value classifyFloat(double parsed, const std::string& raw) {
        const bool integerLiteral =
            raw.find_first_not_of("-0123456789") == std::string::npos;
        double d = 0;
        const char* first = raw.data();
        const char* last = first + raw.size();
        auto res = std::from_chars(first, last, d);
        if (res.ptr != last) {
            // nlohmann swaps '.' for the locale's decimal point; undo that.
            std::string copy(raw);
            for (char& c : copy) {
                const bool numeric = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == 'e' || c == 'E';
                if (!numeric) c = '.';
            }
            res = std::from_chars(copy.data(), copy.data() + copy.size(), d);
        }
        if (res.ec == std::errc::result_out_of_range) {
            // nlohmann has refused overflow already, so this is underflow: the
            // nearest double is a zero of the literal's sign.
            return Value(raw.front() == '-' ? -0.0 : 0.0);
        }
        if (res.ec != std::errc()) d = parsed;
        return classifyExact(d, integerLiteral);
    }

    Value& root_;
    ReadBudget budget_;
    bool overBudget_ = false;
    std::vector<Frame> stack_;
    std::string error_;
};

// At least the bytes the string literals decode to (an escape counts one).
// The parser builds each string whole before the builder sees it, so a text
// over the budget is refused before parsing.
std::size_t leastStringBytes(std::string_view text) {
    std::size_t total = 0;
    bool inString = false;
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (!inString) {
            inString = c == '"';
            ++at;
        } else if (c == '"') {
            inString = false;
            ++at;
        } else {
            ++total;
            at += c != '\\' ? 1 : at + 1 < text.size() && text[at + 1] == 'u' ? 6 : 2;
        }
    }
    return total;
}

// Walks the text once and gives the Builder the very events, with the very
// payloads, that nlohmann's parser would: nlohmann's lexer builds each token
// byte by byte and dominates the cost of a small request. It reads only what it
// is sure of and declines the rest (any syntax error, a byte-order mark, a zero
// byte, ill-formed UTF-8, an unpaired surrogate escape, a number out of double
// range, nesting past kMaxDepth, a value over the budget); parse() then reads
// the text again with nlohmann, so every refusal and its text stay as they are.
class FastReader {
public:
    FastReader(std::string_view text, Builder& builder)
        : text_(text), p_(text.data()), end_(text.data() + text.size()), builder_(builder) {}

    bool read() {
        skipSpace();
        if (!value()) return false;
        skipSpace();
        return p_ == end_;
    }

private:
    // The whitespace nlohmann skips; a byte-order mark is not among it.
    void skipSpace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool at(char c) const { return p_ != end_ && *p_ == c; }
    bool atDigit() const { return p_ != end_ && *p_ >= '0' && *p_ <= '9'; }

    bool value() {
        if (p_ == end_) return false;
        switch (*p_) {
        case '{': return object();
        case '[': return array();
        case '"': {
            std::string s;
            return string(s) && builder_.string(s);
        }
        case 't': return literal("true") && builder_.boolean(true);
        case 'f': return literal("false") && builder_.boolean(false);
        case 'n': return literal("null") && builder_.null();
        default: return number();
        }
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0)
            return false;
        p_ += word.size();
        return true;
    }

    // Takes c and the whitespace after it.
    bool take(char c) {
        if (!at(c)) return false;
        ++p_;
        skipSpace();
        return true;
    }

    // Depth is the Builder's to refuse, which bounds the recursion too.
    bool object() {
        if (!take('{') || !builder_.start_object(std::size_t(-1))) return false;
        if (take('}')) return builder_.end_object();
        do {
            std::string key;
            if (!at('"') || !string(key) || !builder_.key(key)) return false;
            skipSpace();
            if (!take(':') || !value()) return false;
            skipSpace();
        } while (take(','));
        return take('}') && builder_.end_object();
    }

    bool array() {
        if (!take('[') || !builder_.start_array(std::size_t(-1))) return false;
        if (take(']')) return builder_.end_array();
        do {
            if (!value()) return false;
            skipSpace();
        } while (take(','));
        return take(']') && builder_.end_array();
    }

    // The grammar nlohmann's lexer follows. An integer literal within 64 bits
    // goes out as nlohmann's integer events; every other number as the double
    // from_chars reads, which is what the Builder's classification uses.
    bool number() {
        const char* start = p_;
        const bool negative = at('-');
        if (negative) ++p_;
        if (!atDigit()) return false;
        if (*p_ == '0') {
            ++p_;
        } else {
            while (atDigit()) ++p_;
        }
        const char* integerEnd = p_;
        bool integerLiteral = true;
        if (at('.')) {
            ++p_;
            if (!atDigit()) return false;
            while (atDigit()) ++p_;
            integerLiteral = false;
        }
        if (at('e') || at('E')) {
            ++p_;
            if (at('+') || at('-')) ++p_;
            if (!atDigit()) return false;
            while (atDigit()) ++p_;
            integerLiteral = false;
        }
        if (integerLiteral) {
            std::uint64_t magnitude = 0;
            bool fits = true;
            for (const char* d = start + (negative ? 1 : 0); d != integerEnd && fits; ++d)
                fits = !__builtin_mul_overflow(magnitude, 10u, &magnitude) &&
                       !__builtin_add_overflow(magnitude, static_cast<unsigned>(*d - '0'), &magnitude);
            constexpr auto kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
            if (fits && !negative) {
                if (magnitude <= kInt64Max) return builder_.number_integer(static_cast<std::int64_t>(magnitude));
                return builder_.number_unsigned(magnitude);
            }
            // Down to -2^63; the conversion wraps, as C++20 defines it.
            if (fits && magnitude <= kInt64Max + 1)
                return builder_.number_integer(static_cast<std::int64_t>(0 - magnitude));
        }
        double d = 0;
        const auto [end, ec] = std::from_chars(start, p_, d);
        if (ec != std::errc() || end != p_) return false;  // overflow is an error there, underflow a signed zero
        return builder_.number_exact(d, integerLiteral);
    }

    // Marks (high bit of its byte) every quote, backslash, control character
    // and non-ASCII byte among eight: where a string's plain run may stop.
    // A borrow can add false marks, but only above the first true one.
    static std::uint64_t specialBytes(std::uint64_t w) {
        constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
        const auto zeroBytes = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
        return (w & kHigh) | zeroBytes(w ^ (kOnes * '"')) | zeroBytes(w ^ (kOnes * '\\')) |
               ((w - kOnes * 0x20) & ~w & kHigh);
    }

    // Plain runs (ASCII and well-formed UTF-8) are copied whole; a string
    // without escapes is one copy.
    bool string(std::string& out) {
        ++p_;
        const char* run = p_;
        for (;;) {
            while (end_ - p_ >= 8) {
                std::uint64_t w;
                std::memcpy(&w, p_, sizeof w);
                const std::uint64_t marks = specialBytes(w);
                if (marks != 0) {
                    // Little-endian: the lowest mark is the first special byte.
                    if constexpr (std::endian::native == std::endian::little) p_ += std::countr_zero(marks) / 8;
                    break;
                }
                p_ += 8;
            }
            if (p_ == end_) return false;
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                out.append(run, p_);
                ++p_;
                return true;
            }
            if (c == '\\') {
                out.append(run, p_);
                if (!escape(out)) return false;
                run = p_;
            } else if (c < 0x20) {
                return false;
            } else if (c < 0x80) {
                ++p_;
            } else {
                const Utf8Sequence sequence = utf8SequenceAt(text_, static_cast<std::size_t>(p_ - text_.data()));
                if (!sequence.valid) return false;
                p_ += sequence.length;
            }
        }
    }

    // Four hex digits after "\u", or -1.
    int hex4() {
        if (end_ - p_ < 4) return -1;
        int unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = *p_++;
            const int digit = h >= '0' && h <= '9'   ? h - '0'
                              : h >= 'a' && h <= 'f' ? h - 'a' + 10
                              : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                     : -1;
            if (digit < 0) return -1;
            unit = unit * 16 + digit;
        }
        return unit;
    }

    bool escape(std::string& out) {
        if (end_ - p_ < 2) return false;
        const char kind = p_[1];
        p_ += 2;
        switch (kind) {
        case '"':
        case '\\':
        case '/': out.push_back(kind); return true;
        case 'b': out.push_back('\b'); return true;
        case 'f': out.push_back('\f'); return true;
        case 'n': out.push_back('\n'); return true;
        case 'r': out.push_back('\r'); return true;
        case 't': out.push_back('\t'); return true;
        case 'u': break;
        default: return false;
        }
        int code = hex4();
        if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF)) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {  // a high surrogate needs its low half next
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            const int low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, static_cast<unsigned>(code));
        return true;
    }

    static void appendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }

    std::string_view text_;
    const char* p_;
    const char* end_;
    Builder& builder_;
};

// A text that cannot fit the budget, refused before any reading builds it.
void refuseOversized(std::string_view text, ReadBudget budget) {
    if (text.size() > budget.textBytes && leastStringBytes(text) > budget.textBytes) throw TooLarge();
}

Value readWithLibrary(std::string_view text, ReadBudget budget) {
    Value root;
    Builder builder(root, budget);
    const bool ok = Nl::sax_parse(text.data(), text.data() + text.size(), &builder);
    if (!ok) {
        if (builder.overBudget()) throw TooLarge();
        std::string debug = kInvalidJson;
        if (!builder.error().empty()) debug.append(" ").append(builder.error());
        throw DecodingError::dataCorrupted(std::move(debug));
    }
    // The parser takes a zero byte for the end of the text: what follows it
    // would pass unread.
    if (text.find('\0') != std::string_view::npos)
        throw DecodingError::dataCorrupted(std::string(kInvalidJson) + " Unexpected zero byte after the value.");
    return root;
}

}  // namespace

namespace detail {

std::optional<Value> readFast(std::string_view text, ReadBudget budget) {
    Value root;
    Builder builder(root, budget);
    if (!FastReader(text, builder).read()) return std::nullopt;
    return root;
}

Value parseWithLibrary(std::string_view text, ReadBudget budget) {
    refuseOversized(text, budget);
    return readWithLibrary(text, budget);
}

}  // namespace detail

Value parse(std::string_view text, ReadBudget budget) {
    refuseOversized(text, budget);
    // A declined text is read again from its start, into a fresh root and
    // builder: nothing the fast reader built or counted carries over.
    if (std::optional<Value> read = detail::readFast(text, budget)) return std::move(*read);
    return readWithLibrary(text, budget);
}

}  // namespace json
