// The two readings behind json::parse, apart: for the tests and the fuzz
// target that check they agree. Other code calls json::parse.
#pragma once

#include "json/json.hpp"

#include <optional>
#include <string_view>

namespace json::detail {

// The hand-written reader alone: the value, or nothing when it declines (any
// text it is not sure of, over budget included).
std::optional<Value> readFast(std::string_view text, ReadBudget budget = {});

// nlohmann's parser alone, with every refusal json::parse makes.
Value parseWithLibrary(std::string_view text, ReadBudget budget = {});

}  // namespace json::detail
