// Plugging the calendar and reminders families into the registry.
#pragma once

#include "app/platform/platform.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <memory>
#include <vector>

namespace app::tools {

// Appends the calendar and the reminders family over the shared
// CalendarManager and EventKitService, made over the platform's event store
// at the first call (no families without a store), and teaches a template
// script host the Calendar and Reminders scripts with their stand-ins.
void addCalendarAndRemindersFamilies(std::vector<std::unique_ptr<ToolFamily>>& families,
                                     const platform::Platform& platform);

}  // namespace app::tools
