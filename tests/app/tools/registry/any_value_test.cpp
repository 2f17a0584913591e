#include "app/tools/registry/any_from_value.hpp"
#include "app/tools/registry/local_tool_service.hpp"
#include "mcp/envelope_scan.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace app::tools {
namespace {
TEST(AnyFromValue, DoublesWithoutFractionBecomeIntegers) {
    const std::pair<double, AnyValue> cases[] = {
        {300.0, AnyValue(300)},
        {-0.0, AnyValue(0)},
        {-7.0, AnyValue(-7)},
        {0.5, AnyValue(0.5)},
        {1e300, AnyValue(1e300)},
        {-0x1p63, AnyValue(std::numeric_limits<std::int64_t>::min())},
        {0x1p63, AnyValue(0x1p63)},  // one past the largest integer
        {9007199254740993.0, AnyValue(std::int64_t{9007199254740992})},
        {std::numeric_limits<double>::infinity(), AnyValue(std::numeric_limits<double>::infinity())},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        AnyValue got = anyFromValue(mcp::Value(input));
        EXPECT_EQ(got.kind(), expected.kind());
        EXPECT_EQ(got, expected);
    }
    AnyValue nan = anyFromValue(mcp::Value(std::nan("")));
    ASSERT_NE(nan.ifDouble(), nullptr);
    EXPECT_TRUE(std::isnan(*nan.ifDouble()));
}

// The pending bound is charged before the arguments are made: the measure of
// the protocol values must be the measure of what they become.
TEST(AnyFromValue, ArgumentsAreMeasuredAlikeBeforeAndAfter) {
    const mcp::Object cases[] = {
        {},
        {{"recipient", mcp::Value("a@b.c")}, {"subject", mcp::Value(std::string(1000, 'x'))}},
        {{"n", mcp::Value(1)}, {"d", mcp::Value(2.5)}, {"whole", mcp::Value(3.0)}, {"off", mcp::Value(false)},
         {"none", mcp::Value()}},
        {{"list", mcp::Value(mcp::Array{mcp::Value("ab"), mcp::Value(mcp::Array{}), mcp::Value(7)})},
         {"map", mcp::Value(mcp::Object{{"inner", mcp::Value(mcp::Object{{"deep", mcp::Value("xyz")}})}})}},
        {{"blob", mcp::Value::data(mcp::Bytes(300, 1), "image/png")}},
    };
    for (const auto& object : cases) {
        SCOPED_TRACE(mcp::Value(object).description());
        EXPECT_EQ(argumentBytes(object), argumentBytes(anyFromValue(object)));
    }
    EXPECT_GT(argumentBytes(cases[1]), 1000u);
}

// Arguments read straight from a tools/call's params text: what reading the
// text into protocol values and converting them makes, measured alike, or
// nothing where that reading finds no object of arguments.
TEST(AnyFromValue, ArgumentsReadFromTextMatchTheProtocolValues) {
    const std::string rows[] = {
        R"({"name":"t","arguments":{"subject":"Hello","body":"x"}})",
        R"({"name":"t"})",
        R"({"name":"t","arguments":null})",
        R"({"name":"t","arguments":{}})",
        R"({"arguments":{"a":1},"name":"t","arguments":{"b":2}})",
        R"({"name":"t","arguments":{"k":1,"k":"later"}})",
        R"({"name":"t","arguments":{"k":[1,"two",{"x":"y"}],"k":{"z":[]},"long key past the short string":"v"}})",
        R"({"name":"t","arguments":{"n":[1.0,1e2,-0.0,300.0,1.5,-9223372036854775809,9223372036854775808]}})",
        R"({"name":"t","arguments":{"n":[18446744073709551615,-9223372036854775808,5e-324]}})",
        R"({"name":"t","arguments":{"deep":{"list":[{"x":[null,true,false]},[],"é\u00e9\ud83d\ude00"]}}})",
        R"({"name":"t","arguments":{"name":"not the tool","arguments":[1]}})",
        R"({"name":"t","_meta":{"arguments":{"x":1}},"arguments":{"y":2}})",
        R"({"name":"t","arguments":[1]})",
        R"({"name":"t","arguments":"x"})",
        R"(["arguments",{}])",
        R"({"name":"t","arguments":{"a":1})",
        R"({"name":"t","arguments":{"bad":"\ud83d"}})",
        R"({"name":"t","arguments":{"tiny":1e-400}})",
    };
    for (const std::string& params : rows) {
        SCOPED_TRACE(params);
        std::optional<Arguments> expected;
        if (const std::optional<mcp::Value> read = mcp::readPlainParams(params)) {
            if (const mcp::Object* object = read->objectValue()) {
                const auto arguments = object->find("arguments");
                if (arguments == object->end() || arguments->second.isNull()) {
                    expected = Arguments();
                } else if (const mcp::Object* given = arguments->second.objectValue()) {
                    expected = anyFromValue(*given);
                }
            }
        }
        std::size_t bytes = 0;
        const std::optional<Arguments> read = argumentsFromParamsText(params, &bytes);
        if (read) {
            EXPECT_EQ(bytes, argumentBytes(*read)) << "measured as read";
        }
        if (read || !expected) {
            EXPECT_EQ(read, expected);
        } else {
            // Declined here: the tool path never takes this text, and reads it the general way.
            EXPECT_FALSE(mcp::plainToolCallName(params));
        }
    }
}

}  // namespace
}  // namespace app::tools
