// The desktop as the desktop-control family reaches it: the running
// applications, their accessibility elements, synthetic clicks and typing.
// X11DesktopControl loads the X11, XTest and AT-SPI code on first use (see
// desktop_module.hpp), so the program starts without those libraries.
#pragma once

#include "app/platform/accessibility_trust.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

class DiagnosticSink;
class DesktopModule;

struct AppInfo {
    std::string name;
    std::string bundleIdentifier;
    std::int32_t processIdentifier = 0;
    friend bool operator==(const AppInfo&, const AppInfo&) = default;
};

struct ElementRect {
    double x = 0, y = 0, width = 0, height = 0;
};

// What one accessibility element tells about itself; empty text or an
// absent value where a read failed or the element has none.
struct ElementAttributes {
    std::string role;
    std::string title;
    std::string description;
    std::optional<double> numericValue;  // the element's Value interface
    std::string textValue;               // else its Text contents
    std::optional<ElementRect> frame;
};

class AccessibleElement {
public:
    virtual ~AccessibleElement() = default;
    virtual ElementAttributes attributes() = 0;
    // At most `limit` children in the desktop's order; none when the read fails.
    virtual std::vector<std::unique_ptr<AccessibleElement>> children(std::size_t limit) = 0;
};

class DesktopControl {
public:
    virtual ~DesktopControl() = default;
    // The applications with a top-level window, one per process; never fails.
    virtual std::vector<AppInfo> runningApplications() = 0;
    // The accessible application of the process, or null when there is none.
    virtual std::unique_ptr<AccessibleElement> applicationElement(std::int32_t pid) = 0;
    // Presses and releases the left button at the point; never fails.
    virtual void click(double x, double y) = 0;
    // Presses and releases every code point of the grapheme cluster.
    virtual void typeCluster(std::u32string_view cluster) = 0;
    // Called once after the last cluster of a text.
    virtual void finishTyping() {}
};

// Where the desktop module is looked for: next to the running program, then
// where the build put it.
std::vector<std::string> desktopModuleCandidates();

// Loads the module once, on first need; absent (after one diagnostic line)
// when it cannot be loaded.
class DesktopModuleLoader {
public:
    explicit DesktopModuleLoader(std::shared_ptr<DiagnosticSink> diagnostics,
                                 std::vector<std::string> candidates = desktopModuleCandidates());
    DesktopModule* module();

private:
    std::shared_ptr<DiagnosticSink> diagnostics_;
    std::vector<std::string> candidates_;
    std::once_flag once_;
    DesktopModule* module_ = nullptr;
};

// The X11 session of $DISPLAY: windows with _NET_WM_PID named from their
// desktop entries, AT-SPI elements, XTest input.
class X11DesktopControl : public DesktopControl {
public:
    explicit X11DesktopControl(std::shared_ptr<DesktopModuleLoader> loader);
    std::vector<AppInfo> runningApplications() override;
    std::unique_ptr<AccessibleElement> applicationElement(std::int32_t pid) override;
    void click(double x, double y) override;
    void typeCluster(std::u32string_view cluster) override;
    void finishTyping() override;

private:
    std::shared_ptr<DesktopModuleLoader> loader_;
};

// Trusted when $DISPLAY opens and has the XTEST extension; never loads the
// module or touches D-Bus without a DISPLAY.
class X11AccessibilityTrust : public AccessibilityTrust {
public:
    explicit X11AccessibilityTrust(std::shared_ptr<DesktopModuleLoader> loader);
    bool isProcessTrusted(bool prompt) override;

private:
    std::shared_ptr<DesktopModuleLoader> loader_;
};

// The desktop entry that names a window's application: the first of the
// candidate ids (as given, then lower-cased) with a readable "<id>.desktop"
// under an "applications" folder of the data directories. The name is the
// entry's unlocalised Name.
struct DesktopEntry {
    std::string id;
    std::string name;
};
std::optional<DesktopEntry> findDesktopEntry(const std::vector<std::string>& candidateIds,
                                             const std::vector<std::string>& dataDirectories);
// $XDG_DATA_HOME (else ~/.local/share), then $XDG_DATA_DIRS (else
// /usr/local/share:/usr/share).
std::vector<std::string> xdgDataDirectories();

// The window's facts as X11 has them, turned into the listed record; one per
// pid, first window wins; ill-formed UTF-8 repaired.
struct WindowClient {
    std::int32_t pid = 0;
    std::vector<std::string> desktopIds;  // hints the window carries, then WM_CLASS instance and class
    std::string className;                // WM_CLASS class
};
std::vector<AppInfo> appsFromWindows(const std::vector<WindowClient>& windows,
                                     const std::vector<std::string>& dataDirectories);

// A coordinate as X11 takes it: rounded and clamped into the protocol's
// 16-bit range (NaN gives 0), so no double can overflow an int on its way.
int screenCoordinate(double value);

// Splits UTF-8 text (repaired first) into grapheme clusters of code points.
std::vector<std::u32string> graphemeClusters(std::string_view text);

}  // namespace app::platform
