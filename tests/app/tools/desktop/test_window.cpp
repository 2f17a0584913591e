// A small window for the desktop-control tests: a text area that reports on
// standard output where it was clicked ("click X Y", screen coordinates) and
// each change of its text ("text HEX", the UTF-8 bytes in hexadecimal), after
// "ready" once it is on screen.
#include <QApplication>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWindow>

#include <cstdio>

namespace {

class ReportingEdit : public QPlainTextEdit {
protected:
    void mousePressEvent(QMouseEvent* event) override {
        const QPoint at = event->globalPosition().toPoint();
        std::printf("click %d %d\n", at.x(), at.y());
        std::fflush(stdout);
        QPlainTextEdit::mousePressEvent(event);
    }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ReportingEdit edit;
    edit.setWindowTitle("Brisolet test window");
    edit.setGeometry(100, 100, 400, 300);
    QObject::connect(&edit, &QPlainTextEdit::textChanged, [&edit] {
        std::printf("text %s\n", edit.toPlainText().toUtf8().toHex().constData());
        std::fflush(stdout);
    });
    edit.show();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!edit.windowHandle() || !edit.windowHandle()->isExposed()) return;
        poll.stop();
        edit.activateWindow();
        edit.setFocus();
        std::printf("ready\n");
        std::fflush(stdout);
    });
    poll.start(20);
    return app.exec();
}
