// The composition root of the platform: every Linux service of the program,
// created once at start-up, and the one script host that the scripting
// families teach their scripts and stand-ins to.
#pragma once

#include "app/platform/platform.hpp"

#include <memory>

namespace app::platform {

class TemplateScriptHost;

// The services as the families and the window see them, and the same script
// host by its concrete type, for the families' stand-ins.
struct LinuxPlatform : Platform {
    std::shared_ptr<TemplateScriptHost> templateHost;
};

// Files live under the XDG directories of the environment: the user defaults
// in $XDG_CONFIG_HOME/brisolet, the stores in $XDG_DATA_HOME/brisolet or the
// folders the defaults name. Nothing is opened here: a store that cannot be
// opened fails the call that uses it.
LinuxPlatform makeLinuxPlatform();

}  // namespace app::platform
