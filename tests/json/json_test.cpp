#include "json/json.hpp"
#include "json/parse_with_library.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

namespace {
using json::Array;
using json::DecodingError;
using json::Kind;
using json::Object;
using json::Value;
using json::WriteOptions;

const char kCorruptText[] = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

struct DoubleCase {
    double value;
    const char* description;
    const char* json;
};

TEST(JsonNumberText, DescriptionAndJsonForms) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const DoubleCase cases[] = {
        {1e-05, "1e-05", "1e-05"},
        {1e16, "1e+16", "1e+16"},
        {1.0, "1.0", "1"},
        {0.000099, "9.9e-05", "9.9e-05"},
        {9007199254740992.0, "9007199254740992.0", "9007199254740992"},
        {9007199254740994.0, "9.007199254740994e+15", "9.007199254740994e+15"},
        {1e15, "1000000000000000.0", "1000000000000000"},
        {1234567890123456.7, "1234567890123456.8", "1234567890123456.8"},
        {0.0, "0.0", "0"},
        {-0.0, "-0.0", "-0"},
        {-1.25e-7, "-1.25e-07", "-1.25e-07"},
        {nan, "nan", nullptr},
        {inf, "inf", nullptr},
    };
    for (const DoubleCase& c : cases) {
        SCOPED_TRACE(c.description);
        EXPECT_EQ(json::describeDouble(c.value), c.description);
        if (c.json != nullptr) {
            EXPECT_EQ(json::formatDouble(c.value), c.json);
            EXPECT_EQ(json::write(Value(c.value)), c.json);
        }
    }
}

// Insertion order is deliberately not sorted; "Zeta" sorts before lower case
// and "é" (0xC3 0xA9) after every ASCII key.
Value sampleDocument() {
    Object doc;
    doc.set("z/path", "a/b");
    doc.set("name", "Gr\u00fc\u00dfe \u65e5\u672c \U0001F600");
    doc.set("ctl", "q\"b\\s\n\r\t\b\f\x01\x1f\x7f");
    doc.set("empty", Object{{"o", Object{}}, {"a", Array{}}});
    doc.set("doubles", Array{5e-324, 0.1, 123456.789});
    doc.set("ints", Array{Value(std::numeric_limits<long long>::max()),
                          Value(std::numeric_limits<long long>::min()), 0, -1});
    doc.set("flags", Array{true, false, nullptr});
    doc.set("Zeta", 1);
    doc.set("\u00e9", 2);
    return Value(std::move(doc));
}

struct WriterCase {
    bool sortedKeys;
    bool pretty;
    const char* expected;  // with slashes unescaped
};

// DEL (0x7f) is written raw; it stands as <DEL> in the expectations below.
std::string withDel(std::string text) {
    for (auto pos = text.find("<DEL>"); pos != std::string::npos; pos = text.find("<DEL>"))
        text.replace(pos, 5, "\x7f");
    return text;
}

// Escaping slashes changes nothing but the slashes.
std::string withEscapedSlashes(std::string text) {
    for (auto pos = text.find('/'); pos != std::string::npos; pos = text.find('/', pos + 2))
        text.insert(pos, 1, '\\');
    return text;
}

TEST(JsonWriter, EveryOptionCombinationByteExact) {
    const WriterCase cases[] = {
        {false, false,
         R"({"z/path":"a/b","name":"Grüße 日本 😀","ctl":"q\"b\\s\n\r\t\b\f\u0001\u001f<DEL>",)"
         R"("empty":{"o":{},"a":[]},)"
         R"("doubles":[5e-324,0.1,123456.789],)"
         R"("ints":[9223372036854775807,-9223372036854775808,0,-1],"flags":[true,false,null],"Zeta":1,"é":2})"},
        {true, true, R"({
  "Zeta" : 1,
  "ctl" : "q\"b\\s\n\r\t\b\f\u0001\u001f<DEL>",
  "doubles" : [
    5e-324,
    0.1,
    123456.789
  ],
  "empty" : {
    "a" : [],
    "o" : {}
  },
  "flags" : [
    true,
    false,
    null
  ],
  "ints" : [
    9223372036854775807,
    -9223372036854775808,
    0,
    -1
  ],
  "name" : "Grüße 日本 😀",
  "z/path" : "a/b",
  "é" : 2
})"},
    };
    const Value doc = sampleDocument();
    for (const WriterCase& c : cases) {
        for (const bool escapeSlashes : {false, true}) {
            const WriteOptions options{c.sortedKeys, escapeSlashes, c.pretty};
            SCOPED_TRACE(testing::Message() << "sorted=" << options.sortedKeys << " escapeSlashes=" << escapeSlashes
                                            << " pretty=" << options.pretty);
            const std::string expected =
                escapeSlashes ? withEscapedSlashes(withDel(c.expected)) : withDel(c.expected);
            EXPECT_EQ(json::write(doc, options), expected);
            std::string appended = "x";
            json::writeTo(appended, doc, options);
            EXPECT_EQ(appended, "x" + expected);
        }
    }
}

TEST(JsonReader, NumberClassification) {
    const double two63 = 9223372036854775808.0;
    const struct {
        const char* text;
        Kind kind;
        long long integer;
        double real;
    } cases[] = {
        {"1", Kind::Int, 1, 0},
        {"1.0", Kind::Int, 1, 0},
        {"1e2", Kind::Int, 100, 0},
        {"-0", Kind::Int, 0, 0},
        {"9223372036854775807", Kind::Int, std::numeric_limits<long long>::max(), 0},
        {"-9223372036854775808", Kind::Int, std::numeric_limits<long long>::min(), 0},
        {"9223372036854775808", Kind::Double, 0, two63},
        {"-9223372036854775809", Kind::Double, 0, -two63},  // an integer literal beyond 64 bits
        {"1.5", Kind::Double, 0, 1.5},
        {"2.4703282292062328e-324", Kind::Double, 0, 5e-324},
        {"12345678901234567890123", Kind::Double, 0, 1.2345678901234568e22},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Value v = json::parse(c.text);
        ASSERT_EQ(v.kind(), c.kind);
        if (c.kind == Kind::Int)
            EXPECT_EQ(v.asInt(), c.integer);
        else
            EXPECT_EQ(bits(v.asDouble()), bits(c.real));
    }
}

std::string nestedArrays(int depth) {
    const auto n = static_cast<std::size_t>(depth);
    return std::string(n, '[') + std::string(n, ']');
}

std::string nestedObjects(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "{\"a\":";
    text += "1";
    text.append(static_cast<std::size_t>(depth), '}');
    return text;
}

TEST(JsonReader, NestingUpToTheLimit) {
    EXPECT_NO_THROW(json::parse(nestedArrays(json::kMaxDepth)));
    EXPECT_NO_THROW(json::parse(nestedObjects(json::kMaxDepth)));
}

// Values (arrays, objects, keys, scalars) and text bytes (escapes decoded)
// are counted; past either, the text is refused whole.
TEST(JsonReader, StaysWithinItsBudget) {
    const std::tuple<std::string, json::ReadBudget, bool> rows[] = {
        {"[0,0,0]", {4, 0}, true},        {"[0,0,0]", {3, 0}, false},          {R"({"ab":"cd"})", {3, 4}, true},
        {R"({"ab":"cd"})", {3, 3}, false}, {R"({"ab":"cd"})", {2, 4}, false},    {R"("\u00e9\u00e9")", {1, 4}, true},
        {R"("\u00e9\u00e9")", {1, 3}, false}};
    for (const auto& [text, budget, fits] : rows) {
        bool read = true;
        try {
            json::parse(text, budget);
        } catch (const json::TooLarge& e) {
            read = false;
            EXPECT_STREQ(e.what(), kCorruptText);
        }
        EXPECT_EQ(read, fits) << text;
    }
}

TEST(JsonReader, RejectsWithClearError) {
    const struct {
        std::string text;
        const char* detail;  // a piece of the debug description
    } cases[] = {
        {"1e400", "overflow"},
        {"\"a\xff\"", "UTF-8"},
        {"\"\xc0\xaf\"", "UTF-8"},
        {"\"\xed\xa0\x80\"", "UTF-8"},
        {"\"\\ud800\"", "surrogate"},
        {"[1,]", "unexpected"},
        {"", "end of input"},
        {"\"\x01\"", "control character"},
        {nestedArrays(json::kMaxDepth + 1), "deeper than 512"},
        {nestedObjects(600), "deeper than 512"},
        {std::string(100000, '['), "deeper than 512"},
        {std::string("{}\0{\"a\":1}", 10), "zero byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        try {
            json::parse(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), DecodingError::Kind::DataCorrupted);
            EXPECT_STREQ(e.what(), kCorruptText);
            const std::string& debug = e.debugDescription();
            EXPECT_EQ(debug.rfind("The given data was not valid JSON. ", 0), 0u) << debug;
            EXPECT_NE(debug.find(c.detail), std::string::npos) << debug;
            EXPECT_EQ(debug.find("json.exception"), std::string::npos) << debug;
            std::string quoted;  // the text must be fit to travel in a reply
            json::writeString(quoted, debug);
            EXPECT_EQ(json::parse(quoted).asString(), debug);
        }
    }
}

// Value == ignores member order and the sign of zero; the written text does not.
bool identical(const Value& a, const Value& b) { return a == b && json::write(a) == json::write(b); }

// How a reading ended: its value, or "TooLarge", or the refusal's debug text.
struct Ending {
    std::optional<Value> value;
    std::string refusal;
};

template <class Read>
Ending endingOf(Read read) {
    try {
        return {read(), {}};
    } catch (const json::TooLarge&) {
        return {std::nullopt, "TooLarge"};
    } catch (const DecodingError& e) {
        return {std::nullopt, e.debugDescription()};
    }
}

// What clients send is read by the fast reader itself, to the value nlohmann's
// parser gives too.
TEST(FastReader, ReadsWhatClientsSend) {
    const double two63 = 9223372036854775808.0;
    const std::tuple<std::string, Value> rows[] = {
        {R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"send_email","arguments":{"subject":"Hello","body":"x"}}})",
         Object{{"jsonrpc", "2.0"},
                {"id", 7},
                {"method", "tools/call"},
                {"params", Object{{"name", "send_email"}, {"arguments", Object{{"subject", "Hello"}, {"body", "x"}}}}}}},
        {" \t\r\n[ 1 , { \"a\" : null , \"b\" : [ ] } , true,false ]\n",
         Array{1, Object{{"a", nullptr}, {"b", Array{}}}, true, false}},
        {R"({"a":1,"b":2,"a":{"c":3}})", Object{{"a", Object{{"c", 3}}}, {"b", 2}}},
        // Escapes, one of each, between plain runs longer than a word.
        {R"("0123456789\"\\\/\b\f\n\r\t0123456789abcdef\"")", "0123456789\"\\/\b\f\n\r\t0123456789abcdef\""},
        // Python's json.dumps escapes all that is not ASCII.
        {R"("caf\u00e9 \u65e5\u672c \ud83d\ude00 \uD834\uDD1E \udbff\udfff")",
         "caf\u00e9 \u65e5\u672c \U0001F600 \U0001D11E \U0010FFFF"},
        {R"("\u0000\u001f\u007f\u0080\u07ff\u0800\ud7ff\ue000\uffff")",
         std::string("\0\x1f\x7f\u0080\u07ff\u0800\ud7ff\ue000\uffff", 19)},
        {"\"caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80 \xed\x9f\xbf\xee\x80\x80\xf4\x8f\xbf\xbf\xf0\x90\x80\x80\"",
         "caf\u00e9 \u65e5\U0001F600 \ud7ff\ue000\U0010FFFF\U00010000"},
        {"9223372036854775807", std::numeric_limits<long long>::max()},
        {"-9223372036854775808", std::numeric_limits<long long>::min()},
        {"[0,-0,-0.0,1.0,1E+2,10e-1,7]", Array{0, 0, 0, 1, 100, 1, 7}},
        {"9223372036854775808", two63},
        {"18446744073709551615", 18446744073709551615.0},
        {"18446744073709551616", 18446744073709551616.0},
        {"-9223372036854775809", -two63},
        {"9.223372036854775807e18", two63},
        {"[1e-2,-2.5,1.7976931348623157e308,2.4703282292062328e-324]",
         Array{0.01, -2.5, std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()}},
        {"123456789012345678901234567890", 1.2345678901234568e29},
    };
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE(text.substr(0, 60));
        const std::optional<Value> fast = json::detail::readFast(text);
        ASSERT_TRUE(fast.has_value());
        EXPECT_TRUE(identical(*fast, expected)) << json::write(*fast);
        EXPECT_TRUE(identical(json::detail::parseWithLibrary(text), expected));
        EXPECT_TRUE(identical(json::parse(text), expected));
    }
    EXPECT_TRUE(json::detail::readFast(nestedArrays(json::kMaxDepth)).has_value());
}

// The fast reader never takes a text nlohmann's parser refuses, and parse()
// ends every text the way nlohmann's parser alone does: same value, same
// refusal text, TooLarge alike.
TEST(FastReader, EndsAsTheLibraryDoes) {
    const json::ReadBudget roomy;
    const std::tuple<std::string, json::ReadBudget> rows[] = {
        {"\xef\xbb\xbf{\"a\":1}", roomy},
        {"\xef\xbb{}", roomy},
        {"1e400", roomy},
        {"-1e-400", roomy},
        {"[2.4703282292062327e-324]", roomy},
        {R"("\ud800")", roomy},
        {R"("\udc00")", roomy},
        {R"("\ud83d\u0041")", roomy},
        {R"("\ud83d\ud83d")", roomy},
        {R"("\ud83d)", roomy},
        {R"("\ud83dx")", roomy},
        {R"("\u12G4")", roomy},
        {R"("\u12)", roomy},
        {R"("\x")", roomy},
        {"\"\x01\"", roomy},
        {"\"tab\there\"", roomy},
        {"\"a\xff\"", roomy},
        {"\"\xc0\xaf\"", roomy},
        {"\"\xed\xa0\x80\"", roomy},
        {"\"\xf4\x90\x80\x80\"", roomy},
        {"\"0123456789\xe6\x97\"", roomy},
        {std::string("[1]\0", 4), roomy},
        {std::string("[\"a\0\"]", 6), roomy},
        {"[01]", roomy},
        {"[1.]", roomy},
        {"[.5]", roomy},
        {"[-]", roomy},
        {"[1e+]", roomy},
        {"[1,]", roomy},
        {"{\"a\" 1}", roomy},
        {"{\"a\":1,}", roomy},
        {"{a:1}", roomy},
        {"[tru]", roomy},
        {"{} x", roomy},
        {"\"unterminated", roomy},
        {"", roomy},
        {nestedArrays(json::kMaxDepth + 1), roomy},
        {nestedObjects(json::kMaxDepth + 1), roomy},
        {"[0,0,0]", {3, 0}},
        {R"({"ab":"cd"})", {3, 3}},
        {R"(["\ud83d\ude00"])", {2, 3}},
    };
    for (const auto& [text, budget] : rows) {
        SCOPED_TRACE(text.substr(0, 60));
        const Ending library = endingOf([&] { return json::detail::parseWithLibrary(text, budget); });
        if (!library.value) {
            EXPECT_FALSE(json::detail::readFast(text, budget).has_value());
        }
        const Ending parsed = endingOf([&] { return json::parse(text, budget); });
        EXPECT_EQ(parsed.refusal, library.refusal);
        ASSERT_EQ(parsed.value.has_value(), library.value.has_value());
        if (parsed.value) {
            EXPECT_TRUE(identical(*parsed.value, *library.value));
        }
    }
}

}  // namespace
