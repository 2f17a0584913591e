#include "app/tools/registry/any_from_value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace app::tools {
namespace {
struct NumberCase {
    double input;
    AnyValue expected;
};

TEST(AnyFromValue, DoublesWithoutFractionBecomeIntegers) {
    const NumberCase cases[] = {
        {300.0, AnyValue(300)},
        {50.0, AnyValue(50)},
        {-0.0, AnyValue(0)},
        {-7.0, AnyValue(-7)},
        {0.5, AnyValue(0.5)},
        {1e300, AnyValue(1e300)},
        {-0x1p63, AnyValue(std::numeric_limits<std::int64_t>::min())},
        {0x1p63, AnyValue(0x1p63)},  // one past the largest integer
        {9007199254740993.0, AnyValue(std::int64_t{9007199254740992})},
        {std::numeric_limits<double>::infinity(), AnyValue(std::numeric_limits<double>::infinity())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        AnyValue got = anyFromValue(mcp::Value(c.input));
        EXPECT_EQ(got.kind(), c.expected.kind());
        EXPECT_EQ(got, c.expected);
    }
    AnyValue nan = anyFromValue(mcp::Value(std::nan("")));
    ASSERT_NE(nan.ifDouble(), nullptr);
    EXPECT_TRUE(std::isnan(*nan.ifDouble()));
}

TEST(AnyFromValue, EveryKindAndNesting) {
    mcp::Object inner{{"n", mcp::Value(2.0)}, {"s", mcp::Value("x")}, {"z", mcp::Value()}};
    mcp::Value value(mcp::Object{
        {"flag", mcp::Value(true)},
        {"int", mcp::Value(5)},
        {"list", mcp::Value(mcp::Array{mcp::Value(1.5), mcp::Value(mcp::Array{mcp::Value(3.0)}), mcp::Value(inner)})},
        {"data", mcp::Value::data({1, 2, 255}, "image/png")},
    });
    AnyMap expectedInner{{"n", 2}, {"s", "x"}, {"z", nullptr}};
    AnyValue expected(AnyMap{
        {"flag", true},
        {"int", 5},
        {"list", AnyList{1.5, AnyList{3}, expectedInner}},
        {"data", AnyData{"image/png", {1, 2, 255}}},
    });
    AnyValue got = anyFromValue(value);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(anyFromValue(*value.objectValue()), *expected.ifMap());
    // A boolean never turns into a number.
    EXPECT_EQ(anyFromValue(mcp::Value(true)).kind(), AnyValue::Kind::Bool);
}

TEST(Arguments, ReadsAreExactlyTyped) {
    Arguments args{{"text", "hi"}, {"int", 3}, {"double", 0.5}, {"bool", true}, {"list", AnyList{1}},
                   {"map", AnyMap{{"k", 1}}}, {"null", nullptr}};
    EXPECT_EQ(textArgument(args, "text"), "hi");
    EXPECT_EQ(intArgument(args, "int"), 3);
    EXPECT_EQ(doubleArgument(args, "double"), 0.5);
    EXPECT_EQ(boolArgument(args, "bool"), true);
    EXPECT_NE(listArgument(args, "list"), nullptr);
    EXPECT_NE(mapArgument(args, "map"), nullptr);

    EXPECT_FALSE(textArgument(args, "int"));
    EXPECT_FALSE(intArgument(args, "double"));
    EXPECT_FALSE(doubleArgument(args, "int"));
    EXPECT_FALSE(boolArgument(args, "int"));
    EXPECT_FALSE(intArgument(args, "bool"));
    EXPECT_FALSE(textArgument(args, "null"));
    EXPECT_FALSE(textArgument(args, "missing"));
    EXPECT_EQ(listArgument(args, "map"), nullptr);
    EXPECT_EQ(mapArgument(args, "list"), nullptr);
}

}  // namespace
}  // namespace app::tools
