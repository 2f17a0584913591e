// What the desktop module (a shared object of ours linking X11, XTest and
// AT-SPI) offers the program. Built by the same compiler as the program, so
// plain C++ types cross the boundary; the program loads it with
// loadPluginModule (plugin_module.hpp).
#pragma once

#include "app/platform/desktop_control.hpp"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace app::platform {

class DesktopModule {
public:
    virtual ~DesktopModule() = default;
    // $DISPLAY opens and has the XTEST extension.
    virtual bool displayHasXTest() = 0;
    // Top-level client windows with a _NET_WM_PID, in stacking order.
    virtual std::vector<WindowClient> windowClients() = 0;
    // The AT-SPI application of the process; null without an accessibility
    // bus (checked first: libatspi aborts without one) or without a match.
    virtual std::unique_ptr<AccessibleElement> applicationElement(std::int32_t pid) = 0;
    virtual void click(int x, int y) = 0;
    virtual void typeCodePoints(std::u32string_view codePoints) = 0;
    // Puts back the keycodes typing rebound, once typing has been quiet for a while.
    virtual void restoreKeyboard() = 0;
};

// Bumped with any change of DesktopModule or of the types it passes.
inline constexpr int kDesktopModuleVersion = 1;

}  // namespace app::platform
