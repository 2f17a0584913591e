#include "mcp/value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

namespace mcp {
namespace {

TEST(Value, Conversions) {
    using B = std::optional<bool>;
    struct BoolCase {
        Value v;
        B strict, lenient;
    };
    const BoolCase bools[] = {
        {true, true, true},         {"TRUE", {}, {}},        {"yes", {}, true},     {"y", {}, true},
        {"on", {}, true},           {"1", {}, true},         {"off", {}, false},    {"0", {}, false},
        {" true", {}, {}},          {1, {}, true},           {0, {}, false},        {2, {}, {}},
        {-0.0, {}, false},          {1.0, {}, true},         {0.5, {}, {}},         {Value(), {}, {}},
        {Array{}, {}, {}},
    };
    for (const auto& c : bools) {
        EXPECT_EQ(toBool(c.v, true), c.strict) << c.v.description();
        EXPECT_EQ(toBool(c.v, false), c.lenient) << c.v.description();
    }

    using I = std::optional<std::int64_t>;
    struct IntCase {
        Value v;
        I strict, lenient;
    };
    const IntCase ints[] = {
        {5, 5, 5},     {"+42", {}, 42}, {"-42", {}, -42}, {"4.0", {}, {}},   {"", {}, {}}, {"+-1", {}, {}},
        {" 1", {}, {}}, {4.0, {}, 4},   {4.5, {}, {}},    {0x1p63, {}, {}}, {true, {}, {}},
        {"9223372036854775807", {}, std::numeric_limits<std::int64_t>::max()},
        {"9223372036854775808", {}, {}},
        {-0x1p63, {}, std::numeric_limits<std::int64_t>::min()},
        {std::numeric_limits<double>::quiet_NaN(), {}, {}},
    };
    for (const auto& c : ints) {
        EXPECT_EQ(toInt(c.v, true), c.strict) << c.v.description();
        EXPECT_EQ(toInt(c.v, false), c.lenient) << c.v.description();
    }

    using D = std::optional<double>;
    struct DoubleCase {
        Value v;
        D strict, lenient;
    };
    const DoubleCase doubles[] = {
        {3, 3.0, 3.0},       {2.5, 2.5, 2.5},   {"1.5", {}, 1.5},  {" 1.5", {}, {}}, {"1.5 ", {}, {}},
        {"0x10", {}, 16.0},  {"1e3", {}, 1000.0}, {"", {}, {}},      {"abc", {}, {}},  {true, {}, {}},
        {"inf", {}, std::numeric_limits<double>::infinity()},
    };
    for (const auto& c : doubles) {
        EXPECT_EQ(toDouble(c.v, true), c.strict) << c.v.description();
        EXPECT_EQ(toDouble(c.v, false), c.lenient) << c.v.description();
    }
    EXPECT_TRUE(std::isnan(*toDouble("nan", false)));

    using S = std::optional<std::string>;
    struct StringCase {
        Value v;
        S strict, lenient;
    };
    const StringCase strings[] = {
        {"x", "x", "x"},       {true, {}, "true"},          {-12, {}, "-12"},
        {2.0, {}, "2.0"},      {0.1, {}, "0.1"},            {Value::data({'a'}), {}, {}},
        {Value(), {}, {}},
    };
    for (const auto& c : strings) {
        EXPECT_EQ(toString(c.v, true), c.strict) << c.v.description();
        EXPECT_EQ(toString(c.v, false), c.lenient) << c.v.description();
    }
}

}  // namespace
}  // namespace mcp
