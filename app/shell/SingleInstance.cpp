#include "shell/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>

#include <unistd.h>

#include <memory>

namespace dorvex::app {

namespace {

// A hand-off starts with this line; a connection without it (another start asking whether an
// instance runs) asks for nothing. Then the paths, as UTF-8, each ended by a NUL: a Linux file
// name may hold any other byte, line breaks included.
const QByteArray greeting = QByteArrayLiteral("dorvex-open 1\n");
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
    QByteArray message = greeting;
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
    // With user-only access the server is made aside and moved into place, replacing whatever is
    // there: ask first whether an instance answers at that name.
    QLocalSocket probe;
    probe.connectToServer(socketName_);
    if (probe.waitForConnected(500)) return false;
    QLocalServer::removeServer(socketName_);  // a socket left behind by an instance that ended
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
            if (*refused || !received->startsWith(greeting)) return;
            QStringList files;
            for (const QByteArray& part : received->mid(greeting.size()).split(separator)) {
                if (!part.isEmpty()) files << QString::fromUtf8(part);
            }
            emit activated(files);
        });
    }
}

}  // namespace dorvex::app
