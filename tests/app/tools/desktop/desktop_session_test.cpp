// The family on a real desktop: a private Xvfb, session bus and
// accessibility bus started here, and a small Qt window to act on.
#include "app/platform/desktop_control.hpp"
#include "app/tools/desktop/macos_control_tools.hpp"
#include "json/json.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <future>
#include <thread>
#include <unistd.h>

#include <X11/Xlib.h>  // last: its macros (None, Bool) clash with the headers above

namespace app::tools {
namespace {

using namespace std::chrono_literals;

// A program in a session of its own, so that the helpers it starts end with it.
struct Helper {
    testsupport::ChildProcess process;
    explicit Helper(std::vector<std::string> argv)
        : process((argv.insert(argv.begin(), "/usr/bin/setsid"), argv), testsupport::environmentWith({}), true) {}
    ~Helper() {
        ::kill(-process.pid(), SIGTERM);  // Xvfb removes its lock and socket
        try {
            process.wait(5s);
        } catch (...) {  // still running: killed below
        }
        ::kill(-process.pid(), SIGKILL);
    }
    // The rest of the next line starting with `prefix`; throws when none comes.
    std::string waitFor(const std::string& prefix, const std::string& what = "an answer") {
        while (auto line = process.readLine(60s))
            if (line->starts_with(prefix)) return line->substr(prefix.size());
        throw std::runtime_error("no " + what);
    }
};

const std::vector<std::string> kAskForA11yBus = {"/usr/bin/dbus-send", "--session", "--print-reply",
                                                 "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"};

// Whether the display's keymap, read afresh, binds the keysym to any key.
bool keymapBinds(KeySym sym) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    int min = 0, max = 0, perKey = 0;
    XDisplayKeycodes(dpy, &min, &max);
    KeySym* map = XGetKeyboardMapping(dpy, static_cast<KeyCode>(min), max - min + 1, &perKey);
    const bool found = map && std::find(map, map + (max - min + 1) * perKey, sym) != map + (max - min + 1) * perKey;
    if (map) XFree(map);
    XCloseDisplay(dpy);
    return found;
}

// One desktop for the whole suite; a missing program fails every test.
class DesktopSession : public ::testing::Test {
protected:
    static Helper& start(std::vector<std::string> argv) {
        return *helpers_.emplace_back(std::make_unique<Helper>(std::move(argv)));
    }
    static std::string startXvfb(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp"});
        return ":" + start(extra).waitFor("", "display from Xvfb");
    }
    static void SetUpTestSuite() {
        try {
            for (const char* tool : {"/usr/bin/setsid", "/usr/bin/Xvfb", "/usr/bin/dbus-daemon", "/usr/bin/dbus-send",
                                     "/usr/libexec/at-spi-bus-launcher", "/usr/bin/zenity", DESKTOP_TEST_WINDOW})
                if (::access(tool, X_OK) != 0) throw std::runtime_error(std::string("missing program: ") + tool);
            ::setenv("DISPLAY", startXvfb().c_str(), 1);
            Helper& bus = start({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"});
            ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.waitFor("", "address from dbus-daemon").c_str(), 1);
            start({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"});
            // The window looks for the accessibility bus as it starts: have it there first.
            for (int i = 0; i < 100 && Helper(kAskForA11yBus).waitFor("   boolean ") != "true"; ++i)
                std::this_thread::sleep_for(100ms);
            ::setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
            window_ = &start({DESKTOP_TEST_WINDOW, "-platform", "xcb"});
            window_->waitFor("ready", "test window");
        } catch (const std::exception& e) {
            error_ = e.what();
        }
    }
    static void TearDownTestSuite() { while (!helpers_.empty()) helpers_.pop_back(); }
    void SetUp() override { ASSERT_EQ(error_, ""); }

    std::string call(const std::string& name, const Arguments& arguments = {}) { return family_.handle(name, arguments, {}); }

    // The application's tree once it shows `part` (it registers a while after
    // it starts); a call that never answers fails the suite and ends it.
    std::string treeShowing(int pid, const std::string& part) {
        for (auto end = std::chrono::steady_clock::now() + 60s;; std::this_thread::sleep_for(100ms)) {
            auto answer = std::async(std::launch::async, [&] { return call("macos_get_ui_tree", {{"pid", pid}}); });
            if (answer.wait_for(60s) != std::future_status::ready) {
                ADD_FAILURE() << "macos_get_ui_tree never answered";
                TearDownTestSuite(), std::fflush(nullptr), std::_Exit(1);
            }
            if (std::string reply = answer.get(); reply.find(part) != std::string::npos || std::chrono::steady_clock::now() > end)
                return reply;
        }
    }

    static inline std::string error_;
    static inline std::vector<std::unique_ptr<Helper>> helpers_;
    static inline Helper* window_ = nullptr;

    std::shared_ptr<platform::DesktopModuleLoader> loader_ = std::make_shared<platform::DesktopModuleLoader>(nullptr);
    MacOSControlToolFamily family_{std::make_shared<platform::X11AccessibilityTrust>(loader_),
                                   std::make_shared<platform::X11DesktopControl>(loader_)};
};

TEST_F(DesktopSession, ClickAndTypeReachTheWindowExactly) {
    EXPECT_EQ(call("macos_click_element", {{"x", 300}, {"y", 250.4}}), "Clicked at (300.0, 250.4)");
    EXPECT_EQ(window_->waitFor("click "), "300 250");

    const std::string text = "日本語のテキスト\tab\nA😀!\r\n", shown = "日本語のテキスト\tab\nA😀!\n";
    EXPECT_EQ(call("macos_type_text", {{"text", text}}), "Typed: " + text);
    std::string hex;
    for (unsigned char c : shown) hex += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    std::string seen;
    try {
        while ((seen = window_->waitFor("text ", "typed text")) != hex) {
        }
    } catch (const std::exception& e) {
        FAIL() << e.what() << "; the window last held (UTF-8 in hex) " << seen << ", not " << hex;
    }

    // The emoji's binding stays while typing may go on, then the keymap is the user's again.
    constexpr KeySym kEmoji = 0x0101F600;
    EXPECT_TRUE(keymapBinds(kEmoji));
    for (int i = 0; i < 100 && keymapBinds(kEmoji); ++i) std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(keymapBinds(kEmoji));

    const std::string reply = treeShowing(window_->process.pid(), "\"role\" : \"text\"");
    EXPECT_TRUE(reply.starts_with("{\n  \"role\" : \"application\",")) << reply;
    EXPECT_NE(reply.find("\"role\" : \"text\",\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("\"value\" : " + json::write(json::Value(shown)) + ",\n"), std::string::npos) << reply;
}

// Listed by pid, named from WM_CLASS, while windows come and go:
// a window gone between listing and reading is skipped, the process lives on.
TEST_F(DesktopSession, ListsTheWindowWhileOthersComeAndGo) {
    window_->process.writeLine("churn");
    const json::Value expected = json::Object{
        {"name", "desktop_test_window"}, {"bundleIdentifier", ""}, {"processIdentifier", window_->process.pid()}};
    for (int i = 0; i < 300; ++i) {
        const json::Value apps = json::parse(call("macos_list_apps"));
        ASSERT_EQ(std::count(apps.asArray().begin(), apps.asArray().end(), expected), 1) << json::write(apps);
    }
    window_->waitFor("churned ");
    EXPECT_EQ(call("macos_get_ui_tree", {{"pid", 999999999}}),
              "Failed to get UI tree or app not found (PID: 999999999)");
}

// A GTK3 application once deadlocked libatspi; one that stops answering
// must not hold the call past its deadline, nor the reads that follow.
TEST_F(DesktopSession, GtkTreesAndApplicationsThatStopAnswering) {
    Helper zenity({"/usr/bin/zenity", "--entry", "--title=Ask", "--text=Your name", "--entry-text=Ada"});
    const int pid = zenity.process.pid();
    const std::string button = "\"role\" : \"push button\",\n";
    std::string reply = treeShowing(pid, button);
    EXPECT_TRUE(reply.starts_with("{\n  \"role\" : \"application\",\n  \"title\" : \"zenity\"")) << reply;
    for (const std::string part : {"\"title\" : \"Ask\"", "\"value\" : \"Ada\"", "\"title\" : \"OK\""})
        EXPECT_NE(reply.find(part), std::string::npos) << part << " in " << reply;

    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    treeShowing(pid, "");
    ::kill(pid, SIGCONT);
    EXPECT_NE(treeShowing(pid, button).find(button), std::string::npos);
}

TEST_F(DesktopSession, TrustFollowsTheDisplayAndItsXTest) {
    const std::string session = std::getenv("DISPLAY"), withoutXTest = startXvfb({"-extension", "XTEST"});
    const std::string denied = "Permission Denied. Please grant accessibility permission in System Settings.";
    const std::pair<std::string, std::string> cases[] = {
        {"", denied}, {":4242", denied}, {withoutXTest, denied}, {session, "Permission Granted"}};
    for (const auto& [display, reply] : cases) {
        ::setenv("DISPLAY", display.c_str(), 1);
        EXPECT_EQ(call("macos_check_permission"), reply) << display;
    }
    ::setenv("DISPLAY", session.c_str(), 1);
}

}  // namespace
}  // namespace app::tools
