#include "app/tools/calendar/calendar_families.hpp"

#include "app/platform/environment.hpp"
#include "app/tools/calendar/calendar_scripts.hpp"
#include "app/tools/calendar/calendar_tools.hpp"
#include "app/tools/calendar/reminders_scripts.hpp"
#include "app/tools/calendar/reminders_tools.hpp"

namespace app::tools {

void addCalendarAndRemindersFamilies(std::vector<std::unique_ptr<ToolFamily>>& families,
                                     const platform::Platform& platform) {
    if (!platform.eventStore) return;
    if (auto* host = dynamic_cast<platform::TemplateScriptHost*>(platform.scriptHost.get())) {
        registerCalendarScripts(*host, std::make_shared<CalendarStandIn>(platform.eventStore, platform.urlOpener));
        registerRemindersScripts(*host, std::make_shared<RemindersStandIn>(platform.eventStore, platform.urlOpener));
    }
    Clock clock = systemNow;
    if (auto environment = platform.environment) {
        clock = [environment] { return std::chrono::time_point_cast<std::chrono::microseconds>(environment->now()); };
    }
    // The process-wide instances: the window's permission panel reaches the
    // same service (and its store) as the reminders tools.
    auto manager = CalendarManager::shared(platform.eventStore, platform.diagnostics);
    auto service = EventKitService::shared(platform.eventStore, platform.diagnostics, clock);
    families.push_back(std::make_unique<CalendarToolHandler>(manager, platform.scriptHost, clock));
    families.push_back(std::make_unique<RemindersToolHandler>(service, platform.scriptHost));
}

}  // namespace app::tools
