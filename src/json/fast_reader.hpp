// The hand-written JSON reader behind json::parse, as a template over the sink
// of its events, so that another module can build its own values straight
// from a text. Internal to the readers: other code calls json::parse.
//
// A sink has, each returning false to stop the reading: null(),
// boolean(bool), number_integer(std::int64_t), number_unsigned(std::uint64_t),
// number_exact(double, bool integerLiteral), string(std::string&),
// start_object(std::size_t), key(std::string&), end_object(),
// start_array(std::size_t), end_array(). It must refuse nesting past a depth
// of its choosing: that bounds the reader's recursion.
#pragma once

#include "json/json.hpp"
#include "json/utf8.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

namespace json::detail {

// How a number event reads, for every sink alike. An integral value in
// [-2^63, 2^63) written with a fraction or an exponent reads as Int; an
// integer literal beyond 64 bits, and any other number, as the Double nearest
// to the literal. V is built from a long long or a double.
template <class V>
V exactNumber(double d, bool integerLiteral) {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (!integerLiteral && d >= -kTwo63 && d < kTwo63 && std::trunc(d) == d) return V(static_cast<long long>(d));
    return V(d);
}

template <class V>
V unsignedNumber(std::uint64_t u) {
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return V(static_cast<long long>(u));
    return V(static_cast<double>(u));  // exact: conversion rounds to nearest
}

// What is left of a ReadBudget as a reading spends it: each array, object,
// member key and scalar one value, each string and key its decoded bytes.
class BudgetLeft {
public:
    explicit BudgetLeft(ReadBudget budget) : left_(budget) {}

    bool takeValue() {
        if (left_.values == 0) return false;
        --left_.values;
        return true;
    }
    bool takeText(std::size_t bytes) {
        if (bytes > left_.textBytes) return false;
        left_.textBytes -= bytes;
        return true;
    }

private:
    ReadBudget left_;
};

// Walks the text once and gives its sink the very events, with the very
// payloads, that nlohmann's parser gives json::parse's builder: nlohmann's lexer builds each token
// byte by byte and dominates the cost of a small request. It reads only what it
// is sure of and declines the rest (any syntax error, a byte-order mark, a zero
// byte, ill-formed UTF-8, an unpaired surrogate escape, a number out of double
// range, nesting past kMaxDepth, a value over the budget); parse() then reads
// the text again with nlohmann, so every refusal and its text stay as they are.
template <class Sink>
class FastReader {
public:
    FastReader(std::string_view text, Sink& sink)
        : text_(text), p_(text.data()), end_(text.data() + text.size()), sink_(sink) {}

    bool read() {
        skipSpace();
        if (!value()) return false;
        skipSpace();
        return p_ == end_;
    }

    // One value at the start of the text (after whitespace), leaving what
    // follows it unread; the reader's place then tells where it ended.
    bool readLeading() {
        skipSpace();
        return value();
    }
    std::size_t place() const { return static_cast<std::size_t>(p_ - text_.data()); }

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
            return string(s) && sink_.string(s);
        }
        case 't': return literal("true") && sink_.boolean(true);
        case 'f': return literal("false") && sink_.boolean(false);
        case 'n': return literal("null") && sink_.null();
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

    // Depth is the sink's to refuse, which bounds the recursion too.
    bool object() {
        if (!take('{') || !sink_.start_object(std::size_t(-1))) return false;
        if (take('}')) return sink_.end_object();
        do {
            std::string key;
            if (!at('"') || !string(key) || !sink_.key(key)) return false;
            skipSpace();
            if (!take(':') || !value()) return false;
            skipSpace();
        } while (take(','));
        return take('}') && sink_.end_object();
    }

    bool array() {
        if (!take('[') || !sink_.start_array(std::size_t(-1))) return false;
        if (take(']')) return sink_.end_array();
        do {
            if (!value()) return false;
            skipSpace();
        } while (take(','));
        return take(']') && sink_.end_array();
    }

    // The grammar nlohmann's lexer follows. An integer literal within 64 bits
    // goes out as nlohmann's integer events; every other number as the double
    // from_chars reads, which is what exactNumber classifies.
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
                if (magnitude <= kInt64Max) return sink_.number_integer(static_cast<std::int64_t>(magnitude));
                return sink_.number_unsigned(magnitude);
            }
            // Down to -2^63; the conversion wraps, as C++20 defines it.
            if (fits && magnitude <= kInt64Max + 1)
                return sink_.number_integer(static_cast<std::int64_t>(0 - magnitude));
        }
        double d = 0;
        const auto [end, ec] = std::from_chars(start, p_, d);
        if (ec != std::errc() || end != p_) return false;  // out of range either way: nlohmann decides
        return sink_.number_exact(d, integerLiteral);
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
    Sink& sink_;
};

}  // namespace json::detail
