#include "qt_test_support.hpp"

#include "app/platform/defaults_store.hpp"
#include "app/platform/diagnostic_sink.hpp"

#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace uitest {

std::string freshHome() {
    std::string pattern = ::testing::TempDir() + "ui-home-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    ::setenv("HOME", pattern.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (pattern + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (pattern + "/data").c_str(), 1);
    return pattern;
}

void writeDefaults(const std::string& home, const std::string& json) {
    QDir().mkpath(QString::fromStdString(home + "/config/brisolet"));
    std::ofstream(home + "/config/brisolet/defaults.json") << json;
}

bool storedBoolean(const std::string& home, const std::string& key) {
    app::platform::FileDefaultsStore store(home + "/config/brisolet/defaults.json",
                                           std::make_shared<app::platform::MemoryDiagnosticSink>());
    return store.boolean(key);
}

bool waitFor(const std::function<bool()>& pred, int milliseconds) { return QTest::qWaitFor(pred, milliseconds); }

bool click(QWidget* root, const QString& name) {
    auto* button = root ? root->findChild<QAbstractButton*>(name) : nullptr;
    if (!button || !button->isVisible() || !button->isEnabled()) return false;
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
}

void saveScreenshot(QWidget* root, const QString& name) {
    const QString dir = QStringLiteral(BRISOLET_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    EXPECT_TRUE(root->grab().save(dir + "/" + name + ".png")) << name.toStdString();
}

void expectCjkDrawn(QLabel* label) {
    ASSERT_NE(label, nullptr);
    SCOPED_TRACE(label->text().toStdString());
    const QFontMetrics metrics(label->font());
    int cjk = 0;
    for (char32_t c : label->text().toUcs4()) {
        if (c < 0x2E80) continue;
        ++cjk;
        EXPECT_TRUE(metrics.inFontUcs4(c)) << "U+" << std::hex << unsigned(c) << " missing from "
                                           << QFontInfo(label->font()).family().toStdString();
    }
    EXPECT_GT(cjk, 0);
    // Ink: enough pixels unlike the label's background where the text sits.
    const QImage image = label->grab().toImage();
    const QRgb background = image.pixel(0, 0);
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ink += qAbs(qGray(image.pixel(x, y)) - qGray(background)) > 60;
    EXPECT_GT(ink, cjk * 8);
}

}  // namespace uitest
