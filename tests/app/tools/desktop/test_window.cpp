// The desktop tests' window: "ready", then "click X Y" and "text HEX" (UTF-8);
// a line on standard input: windows made and destroyed for 3 s, "churned N".
#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

struct ReportingEdit : QPlainTextEdit {
    void mousePressEvent(QMouseEvent* event) override {
        std::printf("click %d %d\n", event->globalPosition().toPoint().x(), event->globalPosition().toPoint().y());
        QPlainTextEdit::mousePressEvent(event);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ReportingEdit edit;
    edit.setGeometry(100, 100, 400, 300);
    // Slow over each character, as a client painting from a fallback font is:
    // it reads keymap changes long after they were made.
    QObject::connect(&edit, &QPlainTextEdit::textChanged, [&edit] {
        std::printf("text %s\n", edit.toPlainText().toUtf8().toHex().constData());
        QThread::msleep(40);
    });
    edit.show();
    edit.activateWindow();
    std::printf(QTest::qWaitForWindowExposed(&edit, 60000) ? "ready\n" : "not exposed\n");
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char line[256];
        if (::read(STDIN_FILENO, line, sizeof line) <= 0) return input.setEnabled(false);
        QElapsedTimer clock;
        int rounds = 0;
        for (clock.start(); clock.elapsed() < 3000; ++rounds) {
            std::vector<std::unique_ptr<QWidget>> windows(20);
            for (auto& w : windows) (w = std::make_unique<QWidget>())->show();
            app.processEvents();
        }
        std::printf("churned %d\n", rounds);
    });
    return app.exec();
}
