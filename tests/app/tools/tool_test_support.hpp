// What every tool family test shares: catching the ToolError a call throws,
// and checking the tools a family describes.
#pragma once

#include "app/tools/registry/any_value.hpp"
#include "app/tools/registry/mcp_tool.hpp"
#include "app/tools/registry/tool_error.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace app::tools {

// Failed expectations show a ToolError as its three parts.
inline void PrintTo(const ToolError& error, std::ostream* out) {
    *out << error.domain() << " " << error.code() << " " << error.message();
}

namespace testing {

// The error a call throws, or a failed expectation when it throws none.
template <class F>
std::optional<ToolError> thrownToolError(F call) {
    try {
        call();
    } catch (const ToolError& error) {
        return error;
    }
    ADD_FAILURE() << "no ToolError was thrown";
    return std::nullopt;
}

// Runs the call, expecting it to throw a ToolError equal to `expected`.
template <class F>
void expectToolError(F call, const ToolError& expected) {
    EXPECT_EQ(thrownToolError(call), std::optional<ToolError>(expected));
}

// One tool as its family describes it, the input schema written out in full.
struct ExpectedTool {
    std::string name;
    std::string description;
    std::string displayDescription;
    AnyMap inputSchema;
};

// {"type": type, "description": description}: one property of an expected schema.
inline AnyValue property(const char* type, const char* description) {
    return AnyMap{{"type", type}, {"description", description}};
}

// An expected input schema: an object with these properties and required names.
inline AnyMap inputSchema(AnyMap properties, AnyList required) {
    return AnyMap{{"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(required)}};
}

// Checks a family's tools in order: name, both descriptions, server name
// "Local" and the whole input schema; building them again gives new ids.
inline void expectToolDefinitions(const std::function<std::vector<MCPTool>()>& definitions,
                                  const std::vector<ExpectedTool>& expected) {
    const std::vector<MCPTool> tools = definitions();
    const std::vector<MCPTool> again = definitions();
    ASSERT_EQ(tools.size(), expected.size());
    ASSERT_EQ(again.size(), expected.size());
    for (std::size_t i = 0; i < tools.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(tools[i].name, expected[i].name);
        EXPECT_EQ(tools[i].description, expected[i].description);
        EXPECT_EQ(tools[i].displayDescription, expected[i].displayDescription);
        EXPECT_EQ(tools[i].serverName, "Local");
        EXPECT_EQ(tools[i].inputSchema, expected[i].inputSchema);
        EXPECT_EQ(tools[i].serverId.size(), 36u);
        EXPECT_NE(again[i].serverId, tools[i].serverId);
    }
}

}  // namespace testing
}  // namespace app::tools
