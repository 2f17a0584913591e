// The tool families the program offers, built on the platform services.
#pragma once

#include "app/platform/platform.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <memory>
#include <vector>

namespace app::tools {

// One entry per family that exists; LocalToolService places each in the slot
// of its switch.
std::vector<std::unique_ptr<ToolFamily>> makeToolFamilies(const platform::Platform& platform);

}  // namespace app::tools
