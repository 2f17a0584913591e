#include "mcp/value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mcp {
namespace {

Value read(std::string_view text) { return decodeText<Value>(text); }
std::string written(const Value& v) { return json::write(toJson(v), {.sortedKeys = true}); }

struct TextCase {
    Value value;
    const char* text;
};

template <class T>
struct ConversionCase {
    Value v;
    std::optional<T> strict, lenient;
};

template <class T, class Convert>
void expectConversions(Convert convert, std::initializer_list<ConversionCase<T>> cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(convert(c.v, true), c.strict) << c.v.description();
        EXPECT_EQ(convert(c.v, false), c.lenient) << c.v.description();
    }
}

TEST(Value, DecodingOrderPicksTheFirstReadingThatFits) {
    struct Case {
        const char* json;
        Value::Kind kind;
        Value expected;
    };
    const Case cases[] = {
        {"null", Value::Kind::Null, Value()},
        {"true", Value::Kind::Bool, true},
        {"false", Value::Kind::Bool, false},
        {"1", Value::Kind::Int, 1},
        {"-9223372036854775808", Value::Kind::Int, std::numeric_limits<std::int64_t>::min()},
        {"1.5", Value::Kind::Double, 1.5},
        {"9223372036854775808", Value::Kind::Double, 9223372036854775808.0},
        {"\"abc\"", Value::Kind::String, "abc"},
        {"\"data:,hi\"", Value::Kind::String, "data:,hi"},
        {"\"data: see attached, thanks\"", Value::Kind::String, "data: see attached, thanks"},
        {"[1,\"a\",null]", Value::Kind::Array, Array{1, "a", nullptr}},
        {"{\"a\":[true],\"b\":{}}", Value::Kind::Object, Value::object({{"a", Array{true}}, {"b", Object{}}})},
    };
    for (const auto& c : cases) {
        Value v = read(c.json);
        EXPECT_EQ(v.kind(), c.kind) << c.json;
        EXPECT_EQ(v, c.expected) << c.json;
    }
}

TEST(Value, NestedDataURLTextsPassThroughUnchanged) {
    const char* text = R"({"a":[{"b":"data:;base64,AAE="}],"c":"data:,hi"})";
    Value v = read(text);
    EXPECT_EQ(*(*(*v.objectValue()->at("a").arrayValue())[0].objectValue()).at("b").stringValue(), "data:;base64,AAE=");
    EXPECT_EQ(written(v), text);
}

TEST(Value, WritesEachCase) {
    const TextCase cases[] = {
        {Value(), "null"},
        {true, "true"},
        {-7, "-7"},
        {0.25, "0.25"},
        {"a/b", "\"a/b\""},
        {Value::data({'h', 'i'}), "\"data:text/plain;base64,aGk=\""},
        {Value::data({}, "image/png"), "\"data:image/png;base64,\""},
        {Array{}, "[]"},
        {Value::object({{"b", 1}, {"a", Array{Value(), 2.5}}}), "{\"a\":[null,2.5],\"b\":1}"},
    };
    for (const auto& c : cases) EXPECT_EQ(written(c.value), c.text) << c.text;
}

TEST(Value, EqualityAndHashing) {
    struct Case {
        Value a;
        Value b;
        bool equal;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {1, 1.0, false},
        {1, true, false},
        {0.0, -0.0, true},
        {nan, nan, false},
        {"data:,a", Value::data({'a'}, "text/plain"), false},
        {Value::data({'a'}), Value::data({'a'}, "text/plain"), false},
        {Value::data({'a'}, "x"), Value::data({'a'}, "x"), true},
        {Value::data({'a'}, "x"), Value::data({'a', 0}, "x"), false},
        {"\xC3\xA9", "e\xCC\x81", true},  // precomposed and combining forms of é
        {"e", "\xC3\xA9", false},
        {Array{1, 2}, Array{2, 1}, false},
        {Array{1}, Array{1, 1}, false},
        {read(R"({"a":1,"b":[2]})"), read(R"({"b":[2],"a":1})"), true},
        {read(R"({"a":1})"), read(R"({"a":1,"b":1})"), false},
        {read(R"({"a":1})"), read(R"({"b":1})"), false},
        {Value::object({{"\xC3\xA9", 1}}), Value::object({{"e\xCC\x81", 1}}), true},
        {Value(), Value(), true},
        {Value(), Array{}, false},
        {Value::object({{"a", 1}, {"a", 3}}), Value::object({{"a", 3}}), true},  // the last key wins
        {Value('x'), "x", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
        if (c.equal) {
            EXPECT_EQ(hashValue(c.a), hashValue(c.b)) << c.a.description();
        }
    }
}

TEST(Value, Description) {
    const TextCase cases[] = {
        {Value(), ""},
        {1.0, "1.0"},
        {Value::data({'h', 'i'}), "data:text/plain;base64,aGk="},
        {Array{}, "[]"},
        {Array{"a", 1, Array{}}, "[a, 1, []]"},
        {Object{}, "[:]"},
        {Value::object({{"k", "v"}}), "[\"k\": v]"},
        {Value::object({{"a\"b", Value()}, {"c", Array{Object{}}}}), "[\"a\\\"b\": , \"c\": [[:]]]"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.description(), c.text);
}

TEST(Value, Conversions) {
    expectConversions<bool>([](const Value& v, bool strict) { return toBool(v, strict); }, {
        {true, true, true},         {"TRUE", {}, {}},        {"yes", {}, true},     {"y", {}, true},
        {"on", {}, true},           {"1", {}, true},         {"off", {}, false},    {"0", {}, false},
        {" true", {}, {}},          {1, {}, true},           {0, {}, false},        {2, {}, {}},
        {-0.0, {}, false},          {1.0, {}, true},         {0.5, {}, {}},         {Value(), {}, {}},
        {Array{}, {}, {}},
    });

    expectConversions<std::int64_t>([](const Value& v, bool strict) { return toInt(v, strict); }, {
        {5, 5, 5},     {"+42", {}, 42}, {"-42", {}, -42}, {"4.0", {}, {}},   {"", {}, {}}, {"+-1", {}, {}},
        {" 1", {}, {}}, {4.0, {}, 4},   {4.5, {}, {}},    {0x1p63, {}, {}}, {true, {}, {}},
        {"9223372036854775807", {}, std::numeric_limits<std::int64_t>::max()},
        {"9223372036854775808", {}, {}},
        {-0x1p63, {}, std::numeric_limits<std::int64_t>::min()},
        {std::numeric_limits<double>::quiet_NaN(), {}, {}},
    });

    expectConversions<double>([](const Value& v, bool strict) { return toDouble(v, strict); }, {
        {3, 3.0, 3.0},       {2.5, 2.5, 2.5},   {"1.5", {}, 1.5},  {" 1.5", {}, {}}, {"1.5 ", {}, {}},
        {"0x10", {}, 16.0},  {"1e3", {}, 1000.0}, {"", {}, {}},      {"abc", {}, {}},  {true, {}, {}},
        {"inf", {}, std::numeric_limits<double>::infinity()},
    });
    EXPECT_TRUE(std::isnan(*toDouble("nan", false)));

    expectConversions<std::string>([](const Value& v, bool strict) { return toString(v, strict); }, {
        {"x", "x", "x"},       {true, {}, "true"},          {-12, {}, "-12"},
        {2.0, {}, "2.0"},      {0.1, {}, "0.1"},            {Value::data({'a'}), {}, {}},
        {Value(), {}, {}},
    });
}

}  // namespace
}  // namespace mcp
