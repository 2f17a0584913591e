// The interface every tool family implements, and the ten switches the
// registry holds for them.
#pragma once

#include "app/tools/registry/any_value.hpp"
#include "app/tools/registry/mcp_tool.hpp"
#include "app/tools/registry/tool_error.hpp"

#include <array>
#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace app::tools {

// In field (and lookup) order.
enum class ToolSwitch { Calendar, Reminders, Contacts, Messages, Notes, Mail, Music, Maps, MacOS, Vision };

inline constexpr std::size_t kToolSwitchCount = 10;

inline constexpr std::array<ToolSwitch, kToolSwitchCount> kLookupOrder = {
    ToolSwitch::Calendar, ToolSwitch::Reminders, ToolSwitch::Contacts, ToolSwitch::Messages,
    ToolSwitch::Notes,    ToolSwitch::Mail,      ToolSwitch::Music,    ToolSwitch::Maps,
    ToolSwitch::MacOS,    ToolSwitch::Vision};

// As lookup order, but mail before notes.
inline constexpr std::array<ToolSwitch, kToolSwitchCount> kListingOrder = {
    ToolSwitch::Calendar, ToolSwitch::Reminders, ToolSwitch::Contacts, ToolSwitch::Messages,
    ToolSwitch::Mail,     ToolSwitch::Notes,     ToolSwitch::Music,    ToolSwitch::Maps,
    ToolSwitch::MacOS,    ToolSwitch::Vision};

inline constexpr std::size_t switchIndex(ToolSwitch s) { return static_cast<std::size_t>(s); }

// The user-defaults key: "isCalendarEnabled", ... "isVisionEnabled".
std::string_view switchKey(ToolSwitch s);
// The family's word in the refusal message: "Calendar", ... "macOS Control", "Vision".
std::string_view familyWord(ToolSwitch s);

class ToolFamily {
public:
    virtual ~ToolFamily() = default;

    // The registry slot this family fills.
    virtual ToolSwitch toolSwitch() const = 0;
    // The family's tools in its own order, built anew at every call.
    virtual std::vector<MCPTool> definitions() const = 0;
    // Runs one tool on the family's lane (never on the main executor; the
    // family's calls one at a time, in call order): the result text (plain or
    // JSON), or a ToolError, returned or thrown. stop is requested when the
    // caller gave up waiting or the program is stopping.
    virtual ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) = 0;
    // The same, an error always thrown.
    std::string handle(const std::string& name, const Arguments& arguments, std::stop_token stop = {}) {
        return run(name, arguments, std::move(stop)).value();
    }
};

}  // namespace app::tools
