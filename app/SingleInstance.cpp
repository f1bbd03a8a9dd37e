#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

namespace {

// A later copy may start while the first is still on its way to listening.
constexpr int kCallTimeoutMs = 5000;
constexpr int kRetryPauseMs = 100;

} // namespace

TSingleInstance::TSingleInstance(const QString& settingsFile)
    : serverName_(ServerName(settingsFile)), lock_(settingsFile + QStringLiteral(".lock")) {
    // A lock is never taken over for its age; only one whose process has gone is stale.
    lock_.setStaleLockTime(0);
}

TSingleInstance::~TSingleInstance() = default;

QString TSingleInstance::ServerName(const QString& settingsFile) {
    const QString path = QFileInfo(settingsFile).absoluteFilePath();
    const QByteArray hash = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("postlark-%1-%2")
        .arg(::getuid())
        .arg(QString::fromLatin1(hash.toHex().left(24)));
}

bool TSingleInstance::Claim() {
    if (!lock_.tryLock(0) && lock_.error() == QLockFile::LockFailedError) return false;
    Listen();
    return true;
}

void TSingleInstance::Listen() {
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // A copy that crashed leaves its socket file behind; holding the lock, we may clear it.
    QLocalServer::removeServer(serverName_);
    if (!server_->listen(serverName_)) return;
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* caller = server_->nextPendingConnection()) {
            caller->disconnectFromServer();
            caller->deleteLater();
            if (OnShowRequest) OnShowRequest();
        }
    });
}

bool TSingleInstance::CallFirstCopy() {
    const QDeadlineTimer deadline(kCallTimeoutMs);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(serverName_);
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            socket.disconnectFromServer();
            return true;
        }
        QThread::msleep(kRetryPauseMs);
    }
    return false;
}
