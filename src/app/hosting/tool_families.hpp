// The table of tool families the program offers: one row per switch, with the
// factory that builds the family on the Linux platform.
#pragma once

#include "app/platform/linux_platform.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <array>
#include <memory>
#include <vector>

namespace app::hosting {

struct FamilyRow {
    tools::ToolSwitch toolSwitch;
    // Builds the family and teaches the platform's script host the family's
    // scripts with their stand-in, when it has any.
    std::unique_ptr<tools::ToolFamily> (*make)(const platform::LinuxPlatform& platform);
};

// In lookup order, one row per switch.
extern const std::array<FamilyRow, tools::kToolSwitchCount> kFamilyTable;

// Every family of the table. Throws std::logic_error when a factory builds a
// family for another switch than its row's.
std::vector<std::unique_ptr<tools::ToolFamily>> makeToolFamilies(const platform::LinuxPlatform& platform);

}  // namespace app::hosting
