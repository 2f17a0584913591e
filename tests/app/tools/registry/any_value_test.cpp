#include "app/tools/registry/any_from_value.hpp"

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

}  // namespace
}  // namespace app::tools
