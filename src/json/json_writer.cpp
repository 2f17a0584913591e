// Writing: number texts and the writer. A unit apart from the reader, whose
// parser templates would otherwise use up the compiler's inlining budget and
// leave the writer's hot path as calls.
#include "json/json.hpp"

#include "json/utf8.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace json {

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

// Bytes written as they are: printable ASCII but the quote and the backslash;
// the second table also stops at the slash. Non-ASCII ends a run to be
// checked for well-formed UTF-8.
constexpr std::array<bool, 256> makeLiteralTable(bool escapeSlashes) {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = true;
    t['"'] = false;
    t['\\'] = false;
    if (escapeSlashes) t['/'] = false;
    return t;
}
constexpr std::array<bool, 256> kLiteral = makeLiteralTable(false);
constexpr std::array<bool, 256> kLiteralButSlash = makeLiteralTable(true);

constexpr char kHex[] = "0123456789abcdef";

// The escape of an ASCII byte that cannot stand as it is.
void appendEscape(std::string& out, unsigned char c) {
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
}

// Every string of every message written passes here: runs of literal bytes
// are found by table and appended whole.
void appendEscaped(std::string& out, std::string_view text, bool escapeSlashes) {
    const std::array<bool, 256>& literal = escapeSlashes ? kLiteralButSlash : kLiteral;
    out.push_back('"');
    const char* data = text.data();
    const std::size_t n = text.size();
    std::size_t runStart = 0;
    std::size_t i = 0;
    const auto flush = [&](std::size_t upTo) {
        if (upTo > runStart) out.append(data + runStart, upTo - runStart);
    };
    for (;;) {
        while (i < n && literal[static_cast<unsigned char>(data[i])]) ++i;
        if (i == n) break;
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 0x80) {
            const Utf8Sequence sequence = utf8SequenceAt(text, i);
            if (!sequence.valid) {
                // Ill-formed UTF-8 would make the whole message unreadable for
                // the peer; write the replacement character instead.
                flush(i);
                out.append(kReplacementCharacter.data(), kReplacementCharacter.size());
                runStart = i + sequence.length;
            }
            i += sequence.length;
            continue;
        }
        flush(i);
        appendEscape(out, c);
        runStart = ++i;
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

}  // namespace json
