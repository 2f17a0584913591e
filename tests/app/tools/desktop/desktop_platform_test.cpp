#include "app/platform/desktop_control.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace app::platform {
namespace {

TEST(DesktopPlatform, AppsAreNamedFromDesktopEntriesOnePerPid) {
    testsupport::ScratchDir home, system;
    std::filesystem::create_directories(home.file("applications"));
    std::filesystem::create_directories(system.file("applications"));
    testsupport::writeFile(home.file("applications/org.example.Edit.desktop"),
                           "[Desktop Entry]\nName[de]=Bearbeiten\nName = Text Editor\nExec=edit\n");
    testsupport::writeFile(system.file("applications/org.example.Edit.desktop"), "[Desktop Entry]\nName=Shadowed\n");
    testsupport::writeFile(system.file("applications/firefox.desktop"),
                           "[Desktop Action new]\nName=New Window\n[Desktop Entry]\r\nName=Firefox\r\n");
    testsupport::writeFile(system.file("applications/noname.desktop"), "[Desktop Entry]\nExec=x\n");
    testsupport::writeFile(system.file("secret.desktop"), "[Desktop Entry]\nName=Outside\n");
    const std::vector<std::string> dirs = {home.path(), system.path()};

    struct Case {
        WindowClient window;
        AppInfo expected;
    };
    const Case cases[] = {
        {{1, {"org.example.Edit", "edit", "Edit"}, "Edit"}, {"Text Editor", "org.example.Edit", 1}},
        {{2, {"org.example.Edit.desktop"}, ""}, {"Text Editor", "org.example.Edit", 2}},
        {{3, {"Navigator", "Firefox"}, "Firefox"}, {"Firefox", "firefox", 3}},
        {{4, {"noname"}, "NoName"}, {"NoName", "", 4}},
        {{5, {"../secret", "nothing"}, "Bad\xff"}, {"Bad\xEF\xBF\xBD", "", 5}},
        {{6, {}, ""}, {"Unknown", "", 6}},
        {{1, {"firefox"}, "Firefox"}, {"Text Editor", "org.example.Edit", 1}},  // pid 1 again: first window wins
    };
    std::vector<WindowClient> windows;
    std::vector<AppInfo> expected;
    for (const auto& c : cases) {
        windows.push_back(c.window);
        if (expected.size() < 6) expected.push_back(c.expected);
    }
    const auto apps = appsFromWindows(windows, dirs);
    ASSERT_EQ(apps.size(), expected.size());
    for (std::size_t i = 0; i < apps.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(apps[i], expected[i]);
    }
}

TEST(DesktopPlatform, ScreenCoordinatesNeverOverflow) {
    const std::pair<double, int> cases[] = {
        {300.0, 300},    {250.4, 250},      {250.5, 251},   {-0.4, 0},
        {-17.6, -18},    {1e300, 32767},    {-1e300, -32768}, {std::numeric_limits<double>::infinity(), 32767},
        {std::nan(""), 0}, {40000.0, 32767},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(screenCoordinate(value), expected);
    }
}

TEST(DesktopPlatform, TrustIsFalseWithoutAnX11Display) {
    const char* saved = std::getenv("DISPLAY");
    const std::string savedDisplay = saved ? saved : "";
    // No module to load: the answer must not depend on loading one.
    auto loader = std::make_shared<DesktopModuleLoader>(nullptr, std::vector<std::string>{"/nonexistent/module.so"});
    X11AccessibilityTrust trust(loader);
    ::unsetenv("DISPLAY");
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_FALSE(trust.isProcessTrusted(true));
    ::setenv("DISPLAY", ":1", 1);
    EXPECT_FALSE(trust.isProcessTrusted(false));
    ::unsetenv("WAYLAND_DISPLAY");
    if (saved) ::setenv("DISPLAY", savedDisplay.c_str(), 1); else ::unsetenv("DISPLAY");
}

}  // namespace
}  // namespace app::platform
