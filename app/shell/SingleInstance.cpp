#include "shell/SingleInstance.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "model/UiText.h"

namespace dorvex::app {

namespace {

// A hand-off: this greeting, the byte count of the paths in decimal and a line break; then the
// paths as UTF-8, each ended by a NUL (a Linux file name may hold any other byte, line breaks
// included). The instance answers with one byte once it has taken them.
const QByteArray greeting = QByteArrayLiteral("dorvex-open 2 ");
constexpr char separator = '\0';
constexpr char acknowledgement = '+';
constexpr qsizetype maxHeaderBytes = 64;
// What the server reads from one connection at a time.
constexpr qint64 readChunkBytes = 64 * 1024;
constexpr int retryMilliseconds = 50;

// `text` with the path for %1 and the system's reason (errno) for %2.
QString systemError(const QString& text, const QString& path) {
    return text.arg(path, QString::fromLocal8Bit(std::strerror(errno)));
}

// Whether the process at the other end of a connected local socket runs as our user.
bool sameUser(qintptr descriptor) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           peer.uid == ::geteuid();
}

int remaining(const QDeadlineTimer& deadline) {
    return static_cast<int>(std::max<qint64>(0, deadline.remainingTime()));
}

// One hand-off as it arrives, refused as soon as it breaks a limit: nothing past the declared
// size is kept, and a declared size over the limit is refused before any path is read.
class MessageReader {
public:
    enum class State { reading, complete, refused };

    explicit MessageReader(const SingleInstance::Limits& limits) : limits_(limits) {}

    State feed(const QByteArray& chunk) {
        if (state_ != State::reading) return state_;
        qsizetype start = 0;
        if (expected_ < 0) {
            const qsizetype end = chunk.indexOf('\n');
            header_ += chunk.left(end < 0 ? chunk.size() : end);
            if (header_.size() > maxHeaderBytes) return state_ = State::refused;
            if (end < 0) return state_;
            bool number = false;
            expected_ = header_.startsWith(greeting) ? header_.mid(greeting.size()).toLongLong(&number) : -1;
            if (!number || expected_ < 0 || expected_ > limits_.maxBytes) return state_ = State::refused;
            start = end + 1;
        }
        const QByteArray part = chunk.mid(start, expected_ - paths_.size());
        paths_ += part;
        count_ += part.count(separator);
        if (count_ > limits_.maxPaths) return state_ = State::refused;
        if (paths_.size() == expected_) state_ = State::complete;
        return state_;
    }

    QStringList files() const {
        QStringList files;
        for (const QByteArray& path : paths_.split(separator)) {
            if (!path.isEmpty()) files << QString::fromUtf8(path);
        }
        return files;
    }

private:
    SingleInstance::Limits limits_;
    State state_ = State::reading;
    QByteArray header_;
    qint64 expected_ = -1;
    QByteArray paths_;
    qsizetype count_ = 0;
};

}  // namespace

QString SingleInstance::defaultFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QFileInfo(runtime).isAbsolute() && QFileInfo::exists(runtime) && !privateFolderProblem(runtime)) return runtime;
    return QStringLiteral("/tmp/dorvex-app-%1").arg(::geteuid());
}

std::optional<QString> SingleInstance::privateFolderProblem(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) return systemError(ui("无法创建 %1：%2"), folder);
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0) return systemError(ui("无法读取 %1：%2"), folder);
    if (S_ISLNK(info.st_mode)) return ui("%1 是符号链接").arg(folder);
    if (!S_ISDIR(info.st_mode)) return ui("%1 不是文件夹").arg(folder);
    if (info.st_uid != ::geteuid()) return ui("%1 属于另一个用户").arg(folder);
    if ((info.st_mode & 077) != 0) return ui("%1 其他用户也能访问").arg(folder);
    return std::nullopt;
}

SingleInstance::SingleInstance(QString folder, Limits limits, QObject* parent)
    : QObject(parent), folder_(std::move(folder)), limits_(limits) {
    server_.setMaxPendingConnections(limits_.maxConnections);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

SingleInstance::~SingleInstance() { close(); }

QString SingleInstance::socketName() const { return folder_ + QStringLiteral("/local.dorvex.app"); }

SingleInstance::Role SingleInstance::start(const QStringList& files, int timeoutMilliseconds) {
    if (const std::optional<QString> problem = privateFolderProblem(folder_)) {
        problem_ = *problem;
        return Role::failed;
    }
    const QDeadlineTimer deadline(timeoutMilliseconds);
    while (true) {
        switch (claim()) {
            case Claim::taken: return Role::serving;
            case Claim::failed: return Role::failed;
            case Claim::heldElsewhere: break;
        }
        // The holder may not listen yet (it has just started) or may be ending: ask again.
        if (const std::optional<Role> role = handOver(files, remaining(deadline))) return *role;
        if (deadline.hasExpired()) {
            if (problem_.isEmpty()) problem_ = ui("正在运行的 Dorvex 没有应答");
            return Role::failed;
        }
        QThread::msleep(retryMilliseconds);
    }
}

SingleInstance::Claim SingleInstance::claim() {
    const QByteArray path = QFile::encodeName(folder_ + QStringLiteral("/local.dorvex.app.lock"));
    while (true) {
        FileDescriptor file(::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!file) {
            problem_ = systemError(ui("无法打开 %1：%2"), QFile::decodeName(path));
            return Claim::failed;
        }
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) return Claim::heldElsewhere;
            problem_ = systemError(ui("无法锁定 %1：%2"), QFile::decodeName(path));
            return Claim::failed;
        }
        // An instance that ends removes the file before it lets the lock go: a lock taken on a
        // file no longer at the path decides nothing, so take the one there now.
        struct stat locked {}, named {};
        if (::fstat(file.get(), &locked) != 0 || ::lstat(path.constData(), &named) != 0 ||
            locked.st_dev != named.st_dev || locked.st_ino != named.st_ino) {
            continue;
        }
        lock_ = std::move(file);
        break;
    }
    QLocalServer::removeServer(socketName());  // left behind by an instance that did not end normally
    if (!server_.listen(socketName())) {
        problem_ = server_.errorString();
        close();
        return Claim::failed;
    }
    return Claim::taken;
}

std::optional<SingleInstance::Role> SingleInstance::handOver(const QStringList& files, int timeoutMilliseconds) {
    QByteArray paths;
    for (const QString& file : files) {
        paths += file.toUtf8();
        paths += separator;
    }
    if (paths.size() > limits_.maxBytes || files.size() > limits_.maxPaths) {
        problem_ = ui("文件太多，无法交给正在运行的 Dorvex");
        return Role::failed;
    }
    const QDeadlineTimer deadline(timeoutMilliseconds);
    QLocalSocket socket;
    socket.connectToServer(socketName());
    if (!socket.waitForConnected(remaining(deadline))) return std::nullopt;
    if (!sameUser(socket.socketDescriptor())) {
        problem_ = ui("%1 由另一个用户监听").arg(socketName());
        return Role::failed;
    }
    socket.write(greeting + QByteArray::number(paths.size()) + '\n' + paths);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(remaining(deadline))) {
    }
    while (socket.bytesAvailable() == 0 && socket.waitForReadyRead(remaining(deadline))) {
    }
    if (socket.read(1) == QByteArray(1, acknowledgement)) return Role::handedOver;
    // Closed unanswered: the instance may be ending, and the next try may find none.
    problem_ = ui("正在运行的 Dorvex 没有接收这些文件");
    return std::nullopt;
}

void SingleInstance::close() {
    server_.close();  // removes the socket, and the connections not taken yet
    // Then those being served, while this object can still count them out.
    qDeleteAll(server_.findChildren<QLocalSocket*>());
    if (lock_) {
        // Removed before the lock goes, so that no start locks a file that is about to go.
        ::unlink(QFile::encodeName(folder_ + QStringLiteral("/local.dorvex.app.lock")).constData());
        lock_.reset();
    }
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        if (connections_ >= limits_.maxConnections || !sameUser(socket->socketDescriptor())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        serve(socket);
    }
}

void SingleInstance::serve(QLocalSocket* socket) {
    ++connections_;
    connect(socket, &QObject::destroyed, this, [this] { --connections_; });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    const auto drop = [socket] {
        socket->abort();
        socket->deleteLater();
    };
    socket->setReadBufferSize(readChunkBytes);
    auto* silence = new QTimer(socket);
    silence->setSingleShot(true);
    connect(silence, &QTimer::timeout, socket, drop);
    silence->start(limits_.readTimeoutMilliseconds);

    auto reader = std::make_shared<MessageReader>(limits_);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, reader, drop] {
        switch (reader->feed(socket->readAll())) {
            case MessageReader::State::reading: return;
            case MessageReader::State::refused: drop(); return;
            case MessageReader::State::complete:
                if (socket->state() != QLocalSocket::ConnectedState) return;  // answered already
                // Sent now: the instance may close right after the files are taken.
                socket->write(QByteArray(1, acknowledgement));
                socket->flush();
                socket->disconnectFromServer();
                emit activated(reader->files());
                return;
        }
    });
}

}  // namespace dorvex::app
