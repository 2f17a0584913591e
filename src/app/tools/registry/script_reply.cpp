#include "app/tools/registry/script_reply.hpp"

#include "app/tools/registry/tool_error.hpp"

namespace app::tools {

std::string scriptReply(const platform::ScriptRun& run, const std::string& domain) {
    switch (run.outcome) {
        case platform::ScriptRun::Outcome::NotMade:
            throw ToolError(domain, 500, "Failed to compile AppleScript");
        case platform::ScriptRun::Outcome::Failed: {
            std::string message = run.error && run.error->message ? *run.error->message : "Unknown error";
            throw ToolError(domain, 500, "AppleScript Error: " + message);
        }
        case platform::ScriptRun::Outcome::Succeeded:
            break;
    }
    return run.text.value_or("Success");
}

}  // namespace app::tools
