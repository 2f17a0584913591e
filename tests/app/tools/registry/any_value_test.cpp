#include "app/tools/registry/any_from_value.hpp"
#include "app/tools/registry/local_tool_service.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace app::tools
