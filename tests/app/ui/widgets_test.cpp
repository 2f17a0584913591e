#include "qt_test_support.hpp"

#include "app/platform/linux_platform.hpp"

#include "app/ui/artwork.hpp"
#include "app/ui/single_instance.hpp"

#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace app::ui {
namespace {

struct Program : ::testing::Test {
    rt::MainExecutor executor;  // outlives the program, whose jobs it may hold
    std::string home = uitest::freshHome();
    std::unique_ptr<SettingsApp> settings;

    void start() {
        settings = std::make_unique<SettingsApp>(executor, platform::makeLinuxPlatform(),
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
    ASSERT_TRUE(uitest::click(guide, "isMailEnabled"));  // mail
    ASSERT_TRUE(shows(guide, "isMailEnabled", true));
    EXPECT_TRUE(uitest::waitFor([&] { return uitest::storedBoolean(home, "isMailEnabled"); }));  // shown, then stored
    uitest::saveScreenshot(guide, "onboarding-3");
    uitest::expectCjkDrawn(child(guide, "toolsTitle"));

    ASSERT_TRUE(uitest::click(guide, "nextButton3"));
    ASSERT_TRUE(onStep(guide, 4));
    ASSERT_TRUE(uitest::click(guide, "backButton4"));
    ASSERT_TRUE(onStep(guide, 3) && shows(guide, "isMailEnabled", true));
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

// Only the page shown takes the keyboard, and the focus shows: shift+Tab
// then Space on the first page must not finish the guide.
TEST_F(Program, KeyboardReachesOnlyThePageShown) {
    start();
    OnboardingWindow* guide = settings->onboardingWindow();
    guide->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(guide));
    auto* enter = child<QPushButton>(guide, "enterButton");
    enter->setFocus(Qt::TabFocusReason);
    const QImage focused = enter->grab().toImage();
    for (Qt::Key key : {Qt::Key_Tab, Qt::Key_Backtab, Qt::Key_Backtab}) {
        QTest::keyClick(QApplication::focusWidget(), key);
        QWidget* focus = QApplication::focusWidget();
        ASSERT_TRUE(focus && guide->page(1)->isAncestorOf(focus)) << (focus ? focus->objectName().toStdString() : "");
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    ASSERT_TRUE(onStep(guide, 2));  // the one button of page 1 was pressed
    EXPECT_FALSE(uitest::storedBoolean(home, "hasCompletedOnboarding"));
    EXPECT_TRUE(enter->grab().toImage() != focused) << "the focus does not show";
    for (int i = 0; i < 6; ++i) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_TRUE(guide->page(2)->isAncestorOf(QApplication::focusWidget()));
}

// A change the file did not take: the guide says so, the switch shows the
// file's value, and finishing keeps the guide open.
TEST_F(Program, AFailedSaveIsShownAndUndone) {
    uitest::writeDefaults(home, R"({"isVisionEnabled": true})");
    start();
    OnboardingWindow* guide = settings->onboardingWindow();
    ASSERT_TRUE(uitest::waitFor([&] { return !uitest::storedBoolean(home, "isVisionEnabled"); }));  // the last
    ASSERT_TRUE(uitest::click(guide, "enterButton") && onStep(guide, 2));
    ASSERT_TRUE(uitest::click(guide, "nextButton2") && onStep(guide, 3));
    // The lock cannot be taken: as a read-only folder, which root could still write.
    const std::string lock = home + "/config/brisolet/defaults.json.lock";
    ASSERT_TRUE(std::filesystem::remove(lock) && std::filesystem::create_directory(lock));
    QLabel* failure = child(guide, "saveFailure");
    ASSERT_NE(failure, nullptr);
    ASSERT_TRUE(uitest::click(guide, "isMailEnabled"));  // mail
    ASSERT_TRUE(uitest::waitFor([&] { return failure->isVisible(); }));
    EXPECT_TRUE(failure->text().contains(QStringLiteral("not saved"))) << failure->text().toStdString();
    EXPECT_TRUE(uitest::waitFor([&] { return !settings->registry().isEnabled(tools::ToolSwitch::Mail); }));
    EXPECT_TRUE(shows(guide, "isMailEnabled", false));
    EXPECT_FALSE(uitest::storedBoolean(home, "isMailEnabled"));
    ASSERT_TRUE(uitest::click(guide, "nextButton3") && onStep(guide, 4));
    ASSERT_TRUE(uitest::click(guide, "finishButton"));
    QTest::qWait(300);  // nothing to wait for: the guide must stay
    EXPECT_EQ(settings->onboardingWindow(), guide);
}

// Page 3 shows the user's own applications: the default handlers' icons from
// the icon theme, the row's symbol where there is no handler or no icon.
TEST_F(Program, ToolPageShowsTheDefaultApplicationsIcons) {
    // Only the test's folders: the system's own entries stay out of it.
    struct Restore {
        const char* name;
        std::optional<std::string> was = std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
        ~Restore() { was ? ::setenv(name, was->c_str(), 1) : ::unsetenv(name); }
    } dataDirs{"XDG_DATA_DIRS"}, configDirs{"XDG_CONFIG_DIRS"};
    ::setenv("XDG_DATA_DIRS", (home + "/usr").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (home + "/etc").c_str(), 1);
    auto write = [&](const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(home + "/" + path).parent_path());
        std::ofstream(home + "/" + path) << text;
    };
    write("config/mimeapps.list", "[Default Applications]\ntext/calendar=brisolet-test-calendar.desktop\n"
                                  "x-scheme-handler/mailto=brisolet-test-mail.desktop\n");
    write("data/applications/brisolet-test-calendar.desktop",
          "[Desktop Entry]\nType=Application\nName=Calendar\nExec=true\nIcon=brisolet-test-calendar\n");
    write("data/applications/brisolet-test-mail.desktop", "[Desktop Entry]\nType=Application\nName=Mail\nExec=true\n"
                                                          "Icon=brisolet-test-mail\nMimeType=audio/mpeg;\n");
    write("data/icons/hicolor/index.theme", "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps\n\n"
                                            "[48x48/apps]\nSize=48\nContext=Applications\nType=Threshold\n");
    const std::pair<const char*, QColor> icons[] = {{"brisolet-test-calendar", QColor(220, 30, 30)},
                                                    {"brisolet-test-mail", QColor(30, 60, 220)}};
    std::filesystem::create_directories(home + "/data/icons/hicolor/48x48/apps");
    for (const auto& [name, colour] : icons) {
        QImage image(48, 48, QImage::Format_ARGB32);
        image.fill(colour);
        ASSERT_TRUE(image.save(QString::fromStdString(home + "/data/icons/hicolor/48x48/apps/" + name + ".png")));
    }
    uitest::writeDefaults(home, "{}");
    start();
    OnboardingWindow* guide = settings->onboardingWindow();
    ASSERT_TRUE(uitest::click(guide, "enterButton") && onStep(guide, 2));
    ASSERT_TRUE(uitest::click(guide, "nextButton2") && onStep(guide, 3));

    // The share of a row's icon area in the window's grab that has the colour.
    auto share = [&](int row, const QColor& colour) {
        QLabel* icon = child(guide, QStringLiteral("toolIcon%1").arg(row).toLatin1().constData());
        for (QWidget* w = icon; w; w = w->parentWidget())  // the lower rows are scrolled to
            if (auto* scroll = qobject_cast<QScrollArea*>(w)) scroll->ensureWidgetVisible(icon, 0, 0);
        const QImage grab = guide->grab(QRect(icon->mapTo(guide, QPoint(0, 0)), icon->size())).toImage();
        int matching = 0;
        for (int y = 0; y < grab.height(); ++y)
            for (int x = 0; x < grab.width(); ++x) {
                const QColor c = grab.pixelColor(x, y);
                matching += qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) +
                                qAbs(c.blue() - colour.blue()) < 40;
            }
        return double(matching) / std::max(1, grab.width() * grab.height());
    };
    const QColor red = icons[0].second, blue = icons[1].second;
    // row -> the icon's colour, or none for the symbol. Music has no default:
    // the scan finds the mail application's entry, which names audio/mpeg.
    const std::optional<QColor> expected[] = {red, red, std::nullopt, std::nullopt, blue, blue};
    ASSERT_TRUE(uitest::waitFor([&] { return share(0, red) > 0.6 && share(4, blue) > 0.6; }))
        << share(0, red) << " " << share(4, blue);
    guide->page(3)->findChild<QScrollArea*>()->verticalScrollBar()->setValue(0);  // the top for the picture
    uitest::saveScreenshot(guide, "onboarding-3-icons");
    for (int row = 0; row < 6; ++row) {
        SCOPED_TRACE(row);
        if (expected[row]) {
            EXPECT_GT(share(row, *expected[row]), 0.6);
        } else {
            EXPECT_EQ(share(row, red) + share(row, blue), 0.0);
            QLabel* icon = child(guide, QStringLiteral("toolIcon%1").arg(row).toLatin1().constData());
            const QImage drawn = icon->pixmap().toImage();
            const QString symbolName = QString::fromUtf8(kToolRows[std::size_t(row)].symbol);
            EXPECT_EQ(drawn, symbol(symbolName, 24, guide->palette().color(QPalette::WindowText)).toImage());
        }
    }
}

// A second start brings the running guide forward; the guide is centred, and
// the permissions panel reads what the guide granted when it closes.
TEST_F(Program, ASecondStartRaisesTheGuideAndThePanelFollowsIt) {
    start();
    OnboardingWindow* guide = settings->onboardingWindow();
    const QPoint offCentre = guide->frameGeometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 8) << offCentre.x() << "," << offCentre.y();

    const QString name = singleInstanceName(home + "/config/brisolet/defaults.json");
    SingleInstance first(name), second(name);
    ASSERT_TRUE(first.claim());
    QObject::connect(&first, &SingleInstance::raiseRequested, settings.get(), &SettingsApp::raiseRunning);
    guide->hide();
    EXPECT_FALSE(second.claim());
    ASSERT_TRUE(uitest::waitFor([&] { return guide->isVisible(); }));

    QLabel* calendar = child(settings->mainWindow(), "calendarRequestButtonStatus");
    ASSERT_TRUE(uitest::waitFor([&] { return calendar->text() == QStringLiteral("⏳ 未请求 (notDetermined)"); }));
    ASSERT_TRUE(uitest::click(guide, "enterButton") && onStep(guide, 2));
    ASSERT_TRUE(uitest::click(guide, "nextButton2") && onStep(guide, 3));
    ASSERT_TRUE(uitest::click(guide, "isCalendarEnabled") && shows(guide, "isCalendarEnabled", true));  // calendar, granted
    ASSERT_TRUE(uitest::click(guide, "nextButton3") && onStep(guide, 4));
    ASSERT_TRUE(uitest::click(guide, "finishButton"));
    EXPECT_TRUE(uitest::waitFor([&] { return calendar->text() == QStringLiteral("✅ 已授权 (authorized)"); }));
}

}  // namespace
}  // namespace app::ui

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
