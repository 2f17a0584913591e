// For the window tests: a fresh home, clicks by name, bounded waits,
// screenshots, and the check that Chinese text was drawn with a font having it.
#pragma once

#include "app/platform/defaults_store.hpp"
#include "app/ui/settings_app.hpp"
#include "support/memory_diagnostic_sink.hpp"

#include <QAbstractButton>
#include <QDir>
#include <QFontInfo>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>

namespace uitest {

// Points HOME and the XDG folders at a new temporary folder.
inline std::string freshHome() {
    std::string home = ::testing::TempDir() + "ui-home-XXXXXX";
    if (!::mkdtemp(home.data())) throw std::runtime_error("mkdtemp failed");
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    return home;
}

inline void writeDefaults(const std::string& home, const std::string& json) {
    QDir().mkpath(QString::fromStdString(home + "/config/brisolet"));
    std::ofstream(home + "/config/brisolet/defaults.json") << json;
}

// Read anew from the file, as another process would.
inline bool storedBoolean(const std::string& home, const std::string& key) {
    auto sink = std::make_shared<app::platform::MemoryDiagnosticSink>();
    return app::platform::FileDefaultsStore(home + "/config/brisolet/defaults.json", sink).boolean(key);
}

inline bool waitFor(const std::function<bool()>& pred, int milliseconds = 5000) {
    return QTest::qWaitFor(pred, milliseconds);
}

// Clicks the visible, enabled button of that name; false when there is none.
inline bool click(QWidget* root, const char* name) {
    auto* button = root->findChild<QAbstractButton*>(QLatin1String(name));
    if (!button || !button->isVisible() || !button->isEnabled()) return false;
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
}

inline void saveScreenshot(QWidget* root, const QString& name) {
    QDir().mkpath(QStringLiteral(BRISOLET_SCREENSHOT_DIR));
    EXPECT_TRUE(root->grab().save(QStringLiteral(BRISOLET_SCREENSHOT_DIR "/") + name + ".png"));
}

// Every Chinese character is in the label's own font (not a fallback), and ink was drawn.
inline void expectCjkDrawn(QLabel* label) {
    ASSERT_NE(label, nullptr);
    SCOPED_TRACE(label->text().toStdString() + " in " + QFontInfo(label->font()).family().toStdString());
    const QFontMetrics metrics(label->font());
    int cjk = 0;
    for (char32_t c : label->text().toUcs4()) {
        if (c < 0x2E80) continue;
        ++cjk;
        EXPECT_TRUE(metrics.inFontUcs4(c)) << "U+" << std::hex << unsigned(c);
    }
    EXPECT_GT(cjk, 0);
    const QImage image = label->grab().toImage();
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) ink += qAbs(qGray(image.pixel(x, y)) - qGray(image.pixel(0, 0))) > 60;
    EXPECT_GT(ink, cjk * 8);
}

}  // namespace uitest
