#include "shell/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>

#include <unistd.h>

#include <memory>

namespace dorvex::app {

namespace {

// Paths are sent as UTF-8, each ended by a NUL: a Linux file name may hold any other byte,
// line breaks included.
constexpr char separator = '\0';
// A message larger than this is not from us.
constexpr qint64 maxMessageBytes = 16 * 1024 * 1024;

}  // namespace

QString SingleInstance::defaultSocketName() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists()) return runtime + QStringLiteral("/local.dorvex.app");
    return QDir::tempPath() + QStringLiteral("/local.dorvex.app-%1").arg(::getuid());
}

SingleInstance::SingleInstance(QString socketName, QObject* parent)
    : QObject(parent), socketName_(std::move(socketName)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

bool SingleInstance::handOff(const QStringList& files, int timeoutMilliseconds) const {
    QLocalSocket socket;
    socket.connectToServer(socketName_);
    if (!socket.waitForConnected(timeoutMilliseconds)) return false;
    QByteArray message;
    for (const QString& file : files) {
        message += file.toUtf8();
        message += separator;
    }
    socket.write(message);
    if (!socket.waitForBytesWritten(timeoutMilliseconds)) return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMilliseconds);
    return true;
}

bool SingleInstance::listen() {
    if (server_.listen(socketName_)) return true;
    if (server_.serverError() != QAbstractSocket::AddressInUseError) return false;
    // Somebody answers there: another instance runs. Nobody: a socket left behind.
    QLocalSocket probe;
    probe.connectToServer(socketName_);
    if (probe.waitForConnected(500)) return false;
    QLocalServer::removeServer(socketName_);
    return server_.listen(socketName_);
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        auto received = std::make_shared<QByteArray>();
        auto refused = std::make_shared<bool>(false);
        connect(socket, &QLocalSocket::readyRead, socket, [socket, received, refused] {
            *received += socket->readAll();
            if (received->size() > maxMessageBytes) {
                *refused = true;
                socket->abort();
            }
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, received, refused] {
            if (!*refused) *received += socket->readAll();
            socket->deleteLater();
            if (*refused) return;
            QStringList files;
            for (const QByteArray& part : received->split(separator)) {
                if (!part.isEmpty()) files << QString::fromUtf8(part);
            }
            emit activated(files);
        });
    }
}

}  // namespace dorvex::app
