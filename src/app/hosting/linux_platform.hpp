// The platform services of the program on Linux, created once at start-up.
#pragma once

#include "app/platform/platform.hpp"

namespace app::hosting {

// Files live under the XDG directories of the environment: the user defaults
// in $XDG_CONFIG_HOME/brisolet, the stores in $XDG_DATA_HOME/brisolet. Nothing
// is opened here: a store that cannot be opened fails the call that uses it.
platform::Platform makeLinuxPlatform();

}  // namespace app::hosting
