// The desktop-control family: the permission check, the running
// applications, an application's element tree, clicks and typing. Every
// tool but an unknown name asks the trust check first; a refusal is a reply,
// not an error.
#pragma once

#include "app/platform/accessibility_trust.hpp"
#include "app/tools/desktop/macos_control_service.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <memory>
#include <string>
#include <vector>

namespace app::tools {

std::vector<MCPTool> macOSControlToolDefinitions();

// Throws ToolError "MacOSControlTool" 404 for another name (before any
// permission check) and "LocalTool" 400 for a missing or unusable argument.
// Typing stops early once `stop` is requested.
std::string handleMacOSControlTool(MacOSControlService& service, platform::AccessibilityTrust& trust,
                                   const std::string& name, const Arguments& arguments, std::stop_token stop = {});

class MacOSControlToolFamily : public ToolFamily {
public:
    MacOSControlToolFamily(std::shared_ptr<platform::AccessibilityTrust> trust,
                           std::shared_ptr<platform::DesktopControl> desktop);
    ToolSwitch toolSwitch() const override { return ToolSwitch::MacOS; }
    std::vector<MCPTool> definitions() const override { return macOSControlToolDefinitions(); }
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) override;

private:
    std::shared_ptr<platform::AccessibilityTrust> trust_;
    MacOSControlService service_;
};

}  // namespace app::tools
