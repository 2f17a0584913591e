#include "app/tools/registry/tool_family.hpp"

#include "app/platform/environment.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"

namespace app::tools {

namespace {

struct SwitchNames {
    std::string_view key;
    std::string_view word;
};

constexpr std::array<SwitchNames, kToolSwitchCount> kNames = {{
    {"isCalendarEnabled", "Calendar"},
    {"isRemindersEnabled", "Reminders"},
    {"isContactsEnabled", "Contacts"},
    {"isMessagesEnabled", "Messages"},
    {"isNotesEnabled", "Notes"},
    {"isMailEnabled", "Mail"},
    {"isMusicEnabled", "Music"},
    {"isMapsEnabled", "Maps"},
    {"isMacOSEnabled", "macOS Control"},
    {"isVisionEnabled", "Vision"},
}};

}  // namespace

std::string_view switchKey(ToolSwitch s) { return kNames[switchIndex(s)].key; }
std::string_view familyWord(ToolSwitch s) { return kNames[switchIndex(s)].word; }

MCPTool MCPTool::make(std::string name, std::string description, std::string displayDescription,
                      AnyMap inputSchema) {
    return MCPTool{platform::randomUuidString(), "Local", std::move(name), std::move(description),
                   std::move(displayDescription), std::move(inputSchema)};
}

void throwUnknownTool(const char* domain, const char* kind, const std::string& name) {
    throw ToolError(domain, 404, std::string("Unknown ") + kind + " tool: " + name);
}

AnyMap schemaProperty(const char* type, const char* description) {
    return AnyMap{{"type", type}, {"description", description}};
}

AnyMap objectSchema(AnyMap properties, AnyList required) {
    return AnyMap{{"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(required)}};
}

}  // namespace app::tools
