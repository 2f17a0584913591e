// Plugging the calendar and reminders families into the registry.
#pragma once

#include "app/platform/platform.hpp"
#include "app/tools/tool_family.hpp"

#include <memory>
#include <vector>

namespace app::tools {

// Appends the calendar and the reminders family, both over the platform's
// event store (none without one), and teaches a template script host the
// Calendar and Reminders scripts with their stand-ins.
void addCalendarAndRemindersFamilies(std::vector<std::unique_ptr<ToolFamily>>& families,
                                     const platform::Platform& platform);

}  // namespace app::tools
