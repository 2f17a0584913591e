#include "app/ui/single_instance.hpp"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

namespace app::ui {

namespace {

constexpr int kAnswerMilliseconds = 2000;

}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {}

bool SingleInstance::claim() {
    // Two starts at once: one of them listens, the other finds it.
    QLockFile lock(name_ + QStringLiteral(".lock"));
    lock.tryLock(kAnswerMilliseconds);

    QLocalSocket probe;
    probe.connectToServer(name_);
    if (probe.waitForConnected(kAnswerMilliseconds)) {
        probe.write("raise\n");
        probe.waitForBytesWritten(kAnswerMilliseconds);
        probe.disconnectFromServer();
        return false;
    }
    // Nobody answers: a socket left by one that crashed goes.
    QLocalServer::removeServer(name_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name_)) {
        qWarning("brisolet-settings: a second start cannot find this one: %s", qPrintable(server_->errorString()));
        return true;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = server_->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            emit raiseRequested();
        }
    });
    return true;
}

QString singleInstanceName(const std::string& defaultsPath) {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::tempPath();
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray::fromStdString(defaultsPath), QCryptographicHash::Sha256).toHex().left(16);
    return folder + QStringLiteral("/brisolet-settings-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
}

}  // namespace app::ui
