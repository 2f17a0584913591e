// Under an X server of its own, with a tray: the settings guide switches mail
// on; a stdio server on the same home is told the tool list changed and lists "send_email".
#include "qt_test_support.hpp"

#include "app/platform/linux_platform.hpp"
#include "support/child_process.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <cstdio>

namespace app::ui {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kListChanged = "notifications/tools/list_changed";

// Reads lines until one contains `text`, noting a list change on the way; false at the deadline or the end.
bool readUntil(testsupport::ChildProcess& server, const std::string& text, Clock::time_point deadline,
               std::string* line = nullptr, bool* changed = nullptr) {
    try {
        while (Clock::now() < deadline) {
            auto next = server.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (!next) return false;
            if (line) *line = *next;
            if (changed && next->find(kListChanged) != std::string::npos) *changed = true;
            if (next->find(text) != std::string::npos) return true;
        }
    } catch (const std::runtime_error&) {  // the time-out
    }
    return false;
}

TEST(EndToEnd, SettingsSwitchMailOnForARunningServer) {
    uitest::writeDefaults(uitest::freshHome(), "{}");
    testsupport::ChildProcess server({BRISOLET_EXECUTABLE}, testsupport::environmentWith({}));
    server.writeLine(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26",)"
                     R"("capabilities":{},"clientInfo":{"name":"end-to-end","version":"1"}}})");
    ASSERT_TRUE(readUntil(server, R"("id":1)", Clock::now() + 10s));
    server.writeLine(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");

    rt::MainExecutor executor;
    {
        SettingsApp settings(executor, platform::makeLinuxPlatform(), SettingsApp::Options{BRISOLET_EXECUTABLE, true});
        settings.start();
        ASSERT_NE(settings.trayIcon(), nullptr);  // the desktop has a tray: the window waits for a click
        EXPECT_EQ(settings.mainWindow(), nullptr);
        OnboardingWindow* guide = settings.onboardingWindow();
        ASSERT_NE(guide, nullptr);
        ASSERT_TRUE(uitest::click(guide, "enterButton"));
        ASSERT_TRUE(uitest::waitFor([&] { return guide->shownStep() == 2; }));
        ASSERT_TRUE(uitest::click(guide, "nextButton2"));
        ASSERT_TRUE(uitest::waitFor([&] { return guide->shownStep() == 3; }));
        ASSERT_TRUE(uitest::click(guide, "isMailEnabled"));
        ASSERT_TRUE(uitest::waitFor([&] { return guide->findChild<QCheckBox*>("isMailEnabled")->isChecked(); }));
        executor.drain();
    }

    // The guide switched everything off first: list after each announcement until mail shows.
    const auto deadline = Clock::now() + 15s;
    bool listed = false, changed = false;
    for (int id = 2; !listed && (changed || readUntil(server, kListChanged, deadline)); ++id) {
        const std::string sid = std::to_string(id);
        server.writeLine(R"({"jsonrpc":"2.0","id":)" + sid + R"(,"method":"tools/list"})");
        std::string answer;
        changed = false;
        listed = readUntil(server, R"("id":)" + sid, deadline, &answer, &changed) &&
                 answer.find("\"send_email\"") != std::string::npos;
    }
    EXPECT_TRUE(listed) << "no tool-list change announced that lists send_email";
    server.closeInput();
    EXPECT_EQ(server.wait(10s), 0);
}

}  // namespace
}  // namespace app::ui

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    using testsupport::ChildProcess;
    const auto env = testsupport::environmentWith({});
    ChildProcess x({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x800x24"}, env, true);
    std::optional<std::string> display;
    try {
        display = x.readLine(std::chrono::seconds(10));
    } catch (const std::exception&) {
    }
    if (!display) return std::fprintf(stderr, "Xvfb (package xvfb) gave no display within 10 s\n"), 1;
    ::setenv("DISPLAY", (":" + *display).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ChildProcess tray({"trayer"}, testsupport::environmentWith({}), true);
    QApplication application(argc, argv);
    if (!uitest::waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000))
        return std::fprintf(stderr, "trayer (package trayer) offered no system tray within 10 s\n"), 1;
    return RUN_ALL_TESTS();
}
