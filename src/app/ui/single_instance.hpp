// One settings program per user and defaults file: a second start asks the
// running one to come to the front and ends, instead of opening a second
// guide that would reset the first one's switches.
#pragma once

#include <QObject>
#include <QString>

#include <string>

class QLocalServer;

namespace app::ui {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` is the path of the local socket.
    explicit SingleInstance(QString name, QObject* parent = nullptr);

    // True when no other instance answers: this one listens from now on
    // (or runs alone when it cannot). False when one answered; it was asked
    // to come forward.
    bool claim();

signals:
    void raiseRequested();

private:
    QString name_;
    QLocalServer* server_ = nullptr;
};

// The socket for the defaults file at `defaultsPath`: in $XDG_RUNTIME_DIR
// (else the temporary folder), private to the user.
QString singleInstanceName(const std::string& defaultsPath);

}  // namespace app::ui
