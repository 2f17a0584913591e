// The description of one tool, as families build it.
#pragma once

#include "app/tools/registry/any_value.hpp"

#include <string>

namespace app::tools {

struct MCPTool {
    std::string serverId;  // a new random UUID for every record built
    std::string serverName;
    std::string name;
    std::string description;         // English, sent to clients
    std::string displayDescription;  // Chinese, shown in the window
    AnyMap inputSchema;

    // A record with a new serverId and serverName "Local".
    static MCPTool make(std::string name, std::string description, std::string displayDescription,
                        AnyMap inputSchema);
};

// {"type": type, "description": description}: one property of an input schema.
AnyMap schemaProperty(const char* type, const char* description);
// {"type": "object", "properties": ..., "required": ...}: a tool's input schema.
AnyMap objectSchema(AnyMap properties, AnyList required);

}  // namespace app::tools
