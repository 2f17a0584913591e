// The reminders family: reminders_add, reminders_fetch, reminders_find,
// reminders_get_lists over the shared EventKitService, and
// reminders_open_app through the script host.
#pragma once

#include "app/platform/script_host.hpp"
#include "app/tools/calendar/event_kit_service.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::tools {

inline constexpr const char* kRemindersToolDomain = "RemindersTool";

std::vector<MCPTool> reminderToolDefinitions();

// An internet date-time, else a local "yyyy-MM-dd" day; an unreadable text
// is no date (reminders_add refuses it; the fetch bounds are then left open).
std::optional<Instant> parseReminderDate(std::optional<std::string_view> text);

class RemindersToolHandler : public ToolFamily {
public:
    // Throws std::invalid_argument for a null service. Without a script host
    // reminders_open_app reports that no script could be made.
    RemindersToolHandler(std::shared_ptr<EventKitService> service, std::shared_ptr<platform::ScriptHost> scripts);

    ToolSwitch toolSwitch() const override { return ToolSwitch::Reminders; }
    std::vector<MCPTool> definitions() const override { return reminderToolDefinitions(); }
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) override;

    // Throws ToolError "RemindersTool" 404 for another name; the tools'
    // failures are "LocalTool" 400 or 500.
    std::string handleReminderTool(const std::string& name, const Arguments& arguments);

    std::string remindersAdd(const Arguments& arguments);
    std::string remindersFetch(const Arguments& arguments);
    std::string remindersFind(const Arguments& arguments);
    std::string remindersGetLists(const Arguments& arguments);
    std::string remindersOpenApp(const Arguments& arguments);

private:
    std::shared_ptr<EventKitService> service_;
    std::shared_ptr<platform::ScriptHost> scripts_;
};

}  // namespace app::tools
