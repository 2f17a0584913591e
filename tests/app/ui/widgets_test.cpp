#include "qt_test_support.hpp"

#include "app/hosting/linux_platform.hpp"

#include <QApplication>
#include <QClipboard>

namespace app::ui {
namespace {

struct Program : ::testing::Test {
    rt::MainExecutor executor;  // outlives the program, whose jobs it may hold
    std::string home = uitest::freshHome();
    std::unique_ptr<SettingsApp> settings;

    void start() {
        settings = std::make_unique<SettingsApp>(executor, hosting::makeLinuxPlatform(),
                                                 SettingsApp::Options{"/opt/brisolet/brisolet", false});
        settings->start();
    }
    void TearDown() override { settings.reset(), executor.drain(); }
    template <class T = QLabel>
    T* child(QWidget* root, const char* name) { return root->findChild<T*>(QLatin1String(name)); }
    bool onStep(OnboardingWindow* window, int step) {
        return uitest::waitFor([&] { return window->shownStep() == step && window->isSettled(); });
    }
    bool shows(QWidget* root, const char* name, bool checked) {
        return uitest::waitFor([&] { return child<QAbstractButton>(root, name)->isChecked() == checked; });
    }
};

TEST_F(Program, ClickingThroughEveryPageOfTheGuide) {
    uitest::writeDefaults(home, R"({"isMailEnabled": true, "isVisionEnabled": true})");
    start();
    OnboardingWindow* guide = settings->onboardingWindow();
    ASSERT_NE(guide, nullptr);

    // Shown on the first page: every family off, also in the file.
    ASSERT_TRUE(uitest::waitFor([&] { return !uitest::storedBoolean(home, "isVisionEnabled"); }));  // the last
    EXPECT_FALSE(uitest::storedBoolean(home, "isMailEnabled"));
    uitest::saveScreenshot(guide, "onboarding-1");
    uitest::expectCjkDrawn(child(guide, "welcomeLine"));

    ASSERT_TRUE(uitest::click(guide, "enterButton"));
    ASSERT_TRUE(onStep(guide, 2));
    EXPECT_TRUE(child<QWidget>(guide, "fullDiskAccessButton")->isVisible());
    // The poll picks up a database that became readable, without a click.
    QDir().mkpath(QString::fromStdString(home + "/Library/Messages"));
    std::ofstream(home + "/Library/Messages/chat.db") << "x";
    ASSERT_TRUE(uitest::waitFor([&] { return child<QWidget>(guide, "fullDiskAccessButtonGranted")->isVisible(); }));
    uitest::saveScreenshot(guide, "onboarding-2");
    uitest::expectCjkDrawn(child(guide, "permissionsTitle"));

    ASSERT_TRUE(uitest::click(guide, "nextButton2"));
    ASSERT_TRUE(onStep(guide, 3));
    ASSERT_TRUE(uitest::click(guide, "toolSwitch4"));  // mail
    ASSERT_TRUE(shows(guide, "toolSwitch4", true));
    EXPECT_TRUE(uitest::waitFor([&] { return uitest::storedBoolean(home, "isMailEnabled"); }));  // shown, then stored
    uitest::saveScreenshot(guide, "onboarding-3");
    uitest::expectCjkDrawn(child(guide, "toolsTitle"));

    ASSERT_TRUE(uitest::click(guide, "nextButton3"));
    ASSERT_TRUE(onStep(guide, 4));
    ASSERT_TRUE(uitest::click(guide, "backButton4"));
    ASSERT_TRUE(onStep(guide, 3) && shows(guide, "toolSwitch4", true));
    ASSERT_TRUE(uitest::click(guide, "nextButton3"));
    ASSERT_TRUE(onStep(guide, 4));
    uitest::saveScreenshot(guide, "onboarding-4");
    uitest::expectCjkDrawn(child(guide, "doneTitle"));

    ASSERT_TRUE(uitest::click(guide, "finishButton"));
    ASSERT_TRUE(uitest::waitFor([&] { return settings->onboardingWindow() == nullptr; }));
    EXPECT_TRUE(uitest::storedBoolean(home, "hasCompletedOnboarding"));
    EXPECT_TRUE(uitest::storedBoolean(home, "isMailEnabled"));
}

TEST_F(Program, MainWindowCopiesTheConfigurationAndRequestsAccess) {
    uitest::writeDefaults(home, R"({"hasCompletedOnboarding": true, "isMailEnabled": true})");
    start();
    EXPECT_EQ(settings->onboardingWindow(), nullptr);
    EXPECT_TRUE(uitest::storedBoolean(home, "isMailEnabled"));  // no guide, nothing switched off
    MainWindow* window = settings->mainWindow();
    ASSERT_TRUE(window && window->isVisible());

    QLabel* tip = child(window, "copiedTip");
    EXPECT_FALSE(tip->isVisible());
    ASSERT_TRUE(uitest::click(window, "copyJSONButton"));
    ASSERT_TRUE(uitest::waitFor([&] { return tip->isVisible(); }));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), stdioClientConfiguration("/opt/brisolet/brisolet"));

    QLabel* calendar = child(window, "calendarRequestButtonStatus");
    ASSERT_TRUE(uitest::waitFor([&] { return calendar->text() == QStringLiteral("⏳ 未请求 (notDetermined)"); }));
    uitest::saveScreenshot(window, "main-window");
    uitest::expectCjkDrawn(child(window, "mainTitle"));
    ASSERT_TRUE(uitest::click(window, "calendarRequestButton"));
    ASSERT_TRUE(uitest::waitFor([&] { return !child<QWidget>(window, "calendarRequestButton")->isVisible(); }));
    EXPECT_EQ(calendar->text(), QStringLiteral("✅ 已授权 (authorized)"));
}

}  // namespace
}  // namespace app::ui

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
