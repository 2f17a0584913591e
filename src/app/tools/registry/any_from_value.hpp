// Between the protocol's values and the plain values the tool families read.
#pragma once

#include "app/tools/registry/any_value.hpp"
#include "mcp/value.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

namespace app::tools {

// A protocol value as a plain value, recursively. A double without a
// fractional part within the signed 64-bit range becomes an integer (300.0
// arrives as 300); every other double stays one. Never fails.
AnyValue anyFromValue(const mcp::Value& value);
Arguments anyFromValue(const mcp::Object& object);
// The arguments in the text of a tools/call's params, as reading that text
// into protocol values and anyFromValue would make them: the member
// "arguments" of an object (the later one when repeated), none when it is
// null or absent. Nullopt for any other text, and for one the direct JSON
// reading declines. With `bytes`, their argumentBytes, measured as they are
// read.
std::optional<Arguments> argumentsFromParamsText(std::string_view params, std::size_t* bytes = nullptr);
// Roughly what arguments hold in memory: what the registry's pending bound
// counts. Protocol values measure as the arguments anyFromValue makes of
// them, before they are made.
std::size_t argumentBytes(const Arguments& arguments);
std::size_t argumentBytes(const mcp::Object& object);

// The way back, for input schemas sent to clients: each kind to its own case.
mcp::Value valueFromAny(const AnyValue& value);

}  // namespace app::tools
