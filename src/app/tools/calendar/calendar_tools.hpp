// The calendar family: get_events, search_events, create_event and
// open_event over the family's own CalendarManager.
#pragma once

#include "app/platform/script_host.hpp"
#include "app/tools/calendar/calendar_dates.hpp"
#include "app/tools/calendar/calendar_manager.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace app::tools {

inline constexpr const char* kCalendarToolDomain = "CalendarTool";

std::vector<MCPTool> calendarToolDefinitions();

class CalendarToolHandler : public ToolFamily {
public:
    // Throws std::invalid_argument for a null manager. Without a script host
    // open_event reports that no script could be made.
    CalendarToolHandler(std::shared_ptr<CalendarManager> manager, std::shared_ptr<platform::ScriptHost> scripts,
                        Clock clock = systemNow);

    ToolSwitch toolSwitch() const override { return ToolSwitch::Calendar; }
    std::vector<MCPTool> definitions() const override { return calendarToolDefinitions(); }
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) override;

    // Checks calendar access (asking while undetermined), then runs the tool.
    // Throws ToolError: "CalendarTool" 403 without access, 404 for another
    // name, the tool's own errors; a failure of the store is "EventStore" 500.
    std::string handleCalendarTool(const std::string& name, const Arguments& arguments);

    std::string getEvents(const Arguments& arguments);
    std::string searchEvents(const Arguments& arguments);
    std::string createEvent(const Arguments& arguments);
    std::string openEvent(const Arguments& arguments);
    // "✅ Event opened in Calendar" or "❌ Failed to open event: " + why.
    std::string runAppleScript(std::string_view source);

private:
    std::string listEvents(const Arguments& arguments, int defaultDays, std::optional<std::string> query);

    std::shared_ptr<CalendarManager> manager_;
    std::shared_ptr<platform::ScriptHost> scripts_;
    Clock clock_;
};

}  // namespace app::tools
