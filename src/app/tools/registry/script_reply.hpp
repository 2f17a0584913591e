// The reply the notes and music runners give for one script run.
#pragma once

#include "app/platform/script_host.hpp"

#include <string>

namespace app::tools {

// The script's text, "Success" for a result without text. Throws ToolError
// (domain, 500) "Failed to compile AppleScript" for a script never made, and
// "AppleScript Error: " with the error's message ("Unknown error" without one).
std::string scriptReply(const platform::ScriptRun& run, const std::string& domain);

}  // namespace app::tools
