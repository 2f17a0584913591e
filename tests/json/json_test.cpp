#include "json/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using json::Array;
using json::DecodingError;
using json::Kind;
using json::Object;
using json::Value;
using json::WriteOptions;

const char kCorruptText[] = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
const char kMissingText[] = "The data couldn\u2019t be read because it is missing.";
const char kUnwritableText[] = "The data couldn\u2019t be written because it isn\u2019t in the correct format.";

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// ---- Number texts ---------------------------------------------------------

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
        {5e-324, "5e-324", "5e-324"},
        {-5e-324, "-5e-324", "-5e-324"},
        {1.0, "1.0", "1"},
        {2.0, "2.0", "2"},
        {100.0, "100.0", "100"},
        {0.0001, "0.0001", "0.0001"},
        {0.00012345, "0.00012345", "0.00012345"},
        {0.000099, "9.9e-05", "9.9e-05"},
        {9007199254740992.0, "9007199254740992.0", "9007199254740992"},
        {-9007199254740992.0, "-9007199254740992.0", "-9007199254740992"},
        {9007199254740994.0, "9.007199254740994e+15", "9.007199254740994e+15"},
        {9007199254740991.0, "9007199254740991.0", "9007199254740991"},
        {1e15, "1000000000000000.0", "1000000000000000"},
        {1234567890123456.7, "1234567890123456.8", "1234567890123456.8"},
        {0.0, "0.0", "0"},
        {-0.0, "-0.0", "-0"},
        {0.1, "0.1", "0.1"},
        {-0.1, "-0.1", "-0.1"},
        {1.5, "1.5", "1.5"},
        {123456.789, "123456.789", "123456.789"},
        {1.0 / 3.0, "0.3333333333333333", "0.3333333333333333"},
        {1e100, "1e+100", "1e+100"},
        {1.7976931348623157e308, "1.7976931348623157e+308", "1.7976931348623157e+308"},
        {-1.25e-7, "-1.25e-07", "-1.25e-07"},
        {2.2250738585072014e-308, "2.2250738585072014e-308", "2.2250738585072014e-308"},
        {nan, "nan", nullptr},
        {inf, "inf", nullptr},
        {-inf, "-inf", nullptr},
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

TEST(JsonNumberText, NonFiniteRefusesToEncodeAndLeavesOutputUntouched) {
    for (double d : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
        std::string out = "prefix";
        Value doc(Object{{"a", 1}, {"b", Array{Value(1.5), Value(d)}}});
        try {
            json::writeTo(out, doc);
            FAIL() << "non-finite double was written";
        } catch (const json::EncodingError& e) {
            EXPECT_STREQ(e.what(), kUnwritableText);
            EXPECT_NE(e.debugDescription().find(json::describeDouble(d)), std::string::npos)
                << e.debugDescription();
        }
        EXPECT_EQ(out, "prefix");
    }
}

// ---- Writer -----------------------------------------------------------------

// Insertion order is deliberately not sorted; "Zeta" sorts before lower case
// and "é" (0xC3 0xA9) after every ASCII key.
Value sampleDocument() {
    Object doc;
    doc.set("z/path", "a/b");
    doc.set("name", "Gr\u00fc\u00dfe \u65e5\u672c \U0001F600");
    doc.set("ctl", "q\"b\\s\n\r\t\b\f\x01\x1f\x7f");
    doc.set("empty", Object{{"o", Object{}}, {"a", Array{}}});
    doc.set("doubles", Array{1e-05, 1e16, 5e-324, 2.0, -0.0, 0.1, 1.5, 123456.789, 9007199254740992.0,
                             9007199254740994.0});
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
         R"("doubles":[1e-05,1e+16,5e-324,2,-0,0.1,1.5,123456.789,9007199254740992,9.007199254740994e+15],)"
         R"("ints":[9223372036854775807,-9223372036854775808,0,-1],"flags":[true,false,null],"Zeta":1,"é":2})"},
        {true, false,
         R"({"Zeta":1,"ctl":"q\"b\\s\n\r\t\b\f\u0001\u001f<DEL>",)"
         R"("doubles":[1e-05,1e+16,5e-324,2,-0,0.1,1.5,123456.789,9007199254740992,9.007199254740994e+15],)"
         R"("empty":{"a":[],"o":{}},"flags":[true,false,null],)"
         R"("ints":[9223372036854775807,-9223372036854775808,0,-1],"name":"Grüße 日本 😀","z/path":"a/b","é":2})"},
        {false, true, R"({
  "z/path" : "a/b",
  "name" : "Grüße 日本 😀",
  "ctl" : "q\"b\\s\n\r\t\b\f\u0001\u001f<DEL>",
  "empty" : {
    "o" : {},
    "a" : []
  },
  "doubles" : [
    1e-05,
    1e+16,
    5e-324,
    2,
    -0,
    0.1,
    1.5,
    123456.789,
    9007199254740992,
    9.007199254740994e+15
  ],
  "ints" : [
    9223372036854775807,
    -9223372036854775808,
    0,
    -1
  ],
  "flags" : [
    true,
    false,
    null
  ],
  "Zeta" : 1,
  "é" : 2
})"},
        {true, true, R"({
  "Zeta" : 1,
  "ctl" : "q\"b\\s\n\r\t\b\f\u0001\u001f<DEL>",
  "doubles" : [
    1e-05,
    1e+16,
    5e-324,
    2,
    -0,
    0.1,
    1.5,
    123456.789,
    9007199254740992,
    9.007199254740994e+15
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

TEST(JsonWriter, TopLevelScalarsAndEmptyContainers) {
    const WriteOptions pretty{false, false, true};
    EXPECT_EQ(json::write(Value()), "null");
    EXPECT_EQ(json::write(Value(Array{})), "[]");
    EXPECT_EQ(json::write(Value(Array{}), pretty), "[]");
    EXPECT_EQ(json::write(Value(Object{}), pretty), "{}");
    EXPECT_EQ(json::write(Value(Array{Value(Array{})}), pretty), "[\n  []\n]");
    EXPECT_EQ(json::write(Value("/"), {false, true, true}), "\"\\/\"");
    EXPECT_EQ(json::write(Value(-42)), "-42");
}

TEST(JsonWriter, EscapesEveryControlCharacter) {
    const char* expected[32] = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
    };
    for (int c = 0; c < 32; ++c) {
        std::string out;
        json::writeString(out, std::string(1, static_cast<char>(c)));
        EXPECT_EQ(out, std::string("\"") + expected[c] + "\"") << "control " << c;
    }
}

TEST(JsonWriter, IllFormedUtf8BecomesReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    const struct {
        std::string input;
        std::string expected;
    } cases[] = {
        {"a\xff" "b", "a" + fffd + "b"},
        {"\xc0\xaf", fffd + fffd},                      // overlong
        {"\xed\xa0\x80", fffd + fffd + fffd},           // encoded surrogate
        {"\xf0\x9f\x98" "x", fffd + "x"},               // truncated four-byte sequence
        {"\xe2\x82", fffd},                             // truncated at the end
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},  // beyond U+10FFFF
        {"\xe2\x82\xac\xf0\x9f\x98\x80", "\xe2\x82\xac\xf0\x9f\x98\x80"},  // well-formed stays
    };
    for (const auto& c : cases) {
        std::string out;
        json::writeString(out, c.input);
        EXPECT_EQ(out, "\"" + c.expected + "\"");
        EXPECT_NO_THROW(json::parse(out));
    }
}

// ---- Reader -----------------------------------------------------------------

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
        {"1E+2", Kind::Int, 100, 0},
        {"-2.50e1", Kind::Int, -25, 0},
        {"-0", Kind::Int, 0, 0},
        {"-0.0", Kind::Int, 0, 0},
        {"9223372036854775807", Kind::Int, std::numeric_limits<long long>::max(), 0},
        {"-9223372036854775808", Kind::Int, std::numeric_limits<long long>::min(), 0},
        {"-9.223372036854775808e18", Kind::Int, std::numeric_limits<long long>::min(), 0},
        {"9223372036854775808", Kind::Double, 0, two63},
        {"9.223372036854775808e18", Kind::Double, 0, two63},
        {"-9223372036854775809", Kind::Double, 0, -two63},  // an integer literal beyond 64 bits
        {"18446744073709551616", Kind::Double, 0, 18446744073709551616.0},
        {"1.5", Kind::Double, 0, 1.5},
        {"0.1", Kind::Double, 0, 0.1},
        {"5e-324", Kind::Double, 0, 5e-324},
        {"2.4703282292062328e-324", Kind::Double, 0, 5e-324},
        {"1.7976931348623157e308", Kind::Double, 0, 1.7976931348623157e308},
        {"9007199254740993", Kind::Int, 9007199254740993, 0},
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

TEST(JsonReader, UnderflowReadsAsSignedZeroDouble) {
    const Value pos = json::parse("1e-400");
    ASSERT_TRUE(pos.isDouble());
    EXPECT_EQ(bits(pos.asDouble()), bits(0.0));
    const Value neg = json::parse("-1e-400");
    ASSERT_TRUE(neg.isDouble());
    EXPECT_EQ(bits(neg.asDouble()), bits(-0.0));
}

TEST(JsonReader, RandomDoublesWrittenByOurWriterReadBackBitIdentical) {
    std::mt19937_64 rng(20240611);
    constexpr std::size_t kCount = 200000;
    Array values;
    values.reserve(kCount + 8);
    for (double d : {5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1,
                     9007199254740993.0, 9223372036854775808.0, -9223372036854775808.0})
        values.emplace_back(d);
    while (values.size() < kCount + 8) {
        const double d = std::bit_cast<double>(rng());
        if (std::isfinite(d) && bits(d) != bits(-0.0)) values.emplace_back(d);  // -0 reads as Int 0
    }
    const Value back = json::parse(json::write(Value(values)));
    ASSERT_TRUE(back.isArray());
    const Array& read = back.asArray();
    ASSERT_EQ(read.size(), values.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < read.size() && mismatches < 10; ++i) {
        const double want = values[i].asDouble();
        const Value& got = read[i];
        // An integral double within 64-bit range comes back as that Int.
        const bool integral =
            std::trunc(want) == want && want >= -9223372036854775808.0 && want < 9223372036854775808.0;
        const bool ok = integral ? (got.isInt() && bits(static_cast<double>(got.asInt())) == bits(want))
                                 : (got.isDouble() && bits(got.asDouble()) == bits(want));
        if (!ok) {
            ++mismatches;
            ADD_FAILURE() << "element " << i << " written " << json::formatDouble(want) << " read "
                          << json::write(got);
        }
    }
}

TEST(JsonReader, StringsAndStructure) {
    const Value v = json::parse(
        " {\"s\":\"\\u00e9\\ud83d\\ude00\\n\\/\",\"a\":[1,[],{}],\"t\":true,\"f\":false,\"n\":null} ");
    ASSERT_TRUE(v.isObject());
    const Object& o = v.asObject();
    ASSERT_EQ(o.size(), 5u);
    EXPECT_EQ(o.members()[0].first, "s");
    EXPECT_EQ(v.find("s")->asString(), "\u00e9\U0001F600\n/");
    EXPECT_EQ(*v.find("a"), Value(Array{1, Array{}, Object{}}));
    EXPECT_EQ(*v.find("t"), Value(true));
    EXPECT_EQ(*v.find("f"), Value(false));
    EXPECT_TRUE(v.find("n")->isNull());
}

TEST(JsonReader, RepeatedKeyKeepsFirstPositionAndLaterValue) {
    const Value small = json::parse(R"({"a":1,"b":2,"a":{"x":[3]}})");
    ASSERT_EQ(small.asObject().size(), 2u);
    EXPECT_EQ(small.asObject().members()[0].first, "a");
    EXPECT_EQ(*small.find("a"), Value(Object{{"x", Array{3}}}));

    // Past a handful of members, lookups go through an index: same outcome.
    std::string text = "{";
    for (int i = 0; i < 100; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    for (int i = 0; i < 100; i += 7) text += "\"k" + std::to_string(i) + "\":\"again\",";
    text += "\"last\":0}";
    const Value big = json::parse(text);
    const Object& o = big.asObject();
    ASSERT_EQ(o.size(), 101u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(o.members()[static_cast<std::size_t>(i)].first, "k" + std::to_string(i));
        EXPECT_EQ(*big.find("k" + std::to_string(i)), i % 7 == 0 ? Value("again") : Value(i));
    }
    EXPECT_EQ(o.members().back().first, "last");
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
    Value v = json::parse(nestedArrays(json::kMaxDepth));
    int depth = 0;
    for (const Value* p = &v; p->isArray(); p = &p->asArray()[0]) {
        ++depth;
        if (p->asArray().empty()) break;
    }
    EXPECT_EQ(depth, json::kMaxDepth);
    EXPECT_NO_THROW(json::parse(nestedObjects(json::kMaxDepth)));
}

TEST(JsonReader, RejectsWithClearError) {
    const struct {
        std::string text;
        const char* detail;  // a piece of the debug description
    } cases[] = {
        {"1e400", "overflow"},
        {"[-1e400]", "overflow"},
        {"\"a\xff\"", "UTF-8"},
        {"\"\xc0\xaf\"", "UTF-8"},
        {"\"\xed\xa0\x80\"", "UTF-8"},
        {"\"\\ud800\"", "surrogate"},
        {"\"\\udc00\"", "surrogate"},
        {"\"\\ud800\\u0041\"", "surrogate"},
        {"1 2", "end of input"},
        {"{}x", "end of input"},
        {"[1]]", "end of input"},
        {"[1,]", "unexpected"},
        {"", "end of input"},
        {"nul", "invalid literal"},
        {"NaN", "invalid literal"},
        {"\"\x01\"", "control character"},
        {nestedArrays(json::kMaxDepth + 1), "deeper than 512"},
        {nestedArrays(600), "deeper than 512"},
        {nestedObjects(600), "deeper than 512"},
        {std::string(100000, '['), "deeper than 512"},
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

// ---- Values and errors --------------------------------------------------------

TEST(JsonValue, EqualityFollowsKindsAndIgnoresMemberOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_NE(Value(nan), Value(nan));
    EXPECT_EQ(Value(-0.0), Value(0.0));
    EXPECT_EQ(Value(Object{{"a", 1}, {"b", 2}}), Value(Object{{"b", 2}, {"a", 1}}));
    EXPECT_NE(Value(Object{{"a", 1}}), Value(Object{{"a", 1}, {"b", 2}}));
    EXPECT_NE(Value(Array{1, 2}), Value(Array{2, 1}));
}

TEST(JsonValue, ObjectKeysStayUnique) {
    Object o{{"a", 1}, {"b", 2}, {"a", 3}};
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(o.members()[0].first, "a");
    EXPECT_EQ(*o.find("a"), Value(3));
    o.set("b", "x");
    o["c"] = true;
    EXPECT_EQ(json::write(Value(o)), R"({"a":3,"b":"x","c":true})");
    EXPECT_TRUE(o.erase("a"));
    EXPECT_FALSE(o.erase("a"));
    EXPECT_EQ(json::write(Value(o)), R"({"b":"x","c":true})");
}

TEST(JsonErrors, UserTextsByKind) {
    EXPECT_STREQ(DecodingError::keyNotFound("id").what(), kMissingText);
    EXPECT_STREQ(DecodingError::valueNotFound("String").what(), kMissingText);
    EXPECT_STREQ(DecodingError::typeMismatch("String").what(), kCorruptText);
    EXPECT_STREQ(DecodingError::dataCorrupted("Invalid response").what(), kCorruptText);
    EXPECT_EQ(DecodingError::dataCorrupted("Invalid response").debugDescription(), "Invalid response");
    const json::CodingPath path{json::PathElement::member("params"), json::PathElement::at(2)};
    EXPECT_EQ(DecodingError::keyNotFound("id", path).codingPath(), path);
    EXPECT_EQ(DecodingError::keyNotFound("id", path).kind(), DecodingError::Kind::KeyNotFound);
}

}  // namespace
