// One tool as a family declares it: its definition and its handler in one
// row, so that each tool's name is written once. A family keeps its rows in
// a table, lists them with toolDefinitions and runs the row findTool gives
// for a call's name. The handler's type is the family's own (a function on
// the family's services, or a member of the family).
#pragma once

#include "app/tools/registry/mcp_tool.hpp"

#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace app::tools {

template <class Handler>
struct ToolRow {
    std::string_view name;
    std::string_view description;         // English, sent to clients
    std::string_view displayDescription;  // Chinese, shown in the window
    AnyMap inputSchema;
    Handler handler;

    // A new record (new serverId) at every call.
    MCPTool definition() const {
        return MCPTool::make(std::string(name), std::string(description), std::string(displayDescription),
                             inputSchema);
    }
};

// The rows' definitions, in table order.
template <class Rows>
std::vector<MCPTool> toolDefinitions(const Rows& rows) {
    std::vector<MCPTool> tools;
    tools.reserve(std::size(rows));
    for (const auto& row : rows) tools.push_back(row.definition());
    return tools;
}

// The row named exactly `name`, or null.
template <class Rows>
auto findTool(const Rows& rows, std::string_view name) -> decltype(&*std::begin(rows)) {
    for (const auto& row : rows) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

// Throws ToolError(domain, 404, "Unknown <kind> tool: <name>").
[[noreturn]] void throwUnknownTool(const char* domain, const char* kind, const std::string& name);

// The row named exactly `name`, else the error above. The throw is out of
// line: a family's dispatch then has nothing to clean up, and the errors its
// tools throw pass through it at no cost.
template <class Rows>
const auto& toolNamed(const Rows& rows, const std::string& name, const char* domain, const char* kind) {
    if (const auto* row = findTool(rows, name)) return *row;
    throwUnknownTool(domain, kind, name);
}

}  // namespace app::tools
