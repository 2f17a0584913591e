// Whether this process may drive the desktop: synthesise input and read other
// applications' element trees. The desktop-control family and the settings
// program's permissions panel ask the same question through this.
#pragma once

namespace app::platform {

class AccessibilityTrust {
public:
    virtual ~AccessibilityTrust() = default;
    // True when the process may control the desktop now. `prompt` asks the
    // user to grant it where the desktop has such a prompt (Linux has none).
    virtual bool isProcessTrusted(bool prompt) = 0;
};

}  // namespace app::platform
