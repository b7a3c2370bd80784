#pragma once
// SingleInstance: one running application per user. The start that holds the lock file in the
// user's runtime folder is the instance and listens on a local socket beside it; a later start (a
// file manager opening files with the app, a click on the launcher) finds the lock taken, hands
// its file arguments over the socket and exits, and the running one adds them and shows its main
// window. The lock decides, so two starts at once never both serve.
//
// The runtime folder is $XDG_RUNTIME_DIR when it is the user's own private folder, else
// /tmp/dorvex-app-<uid>, made 0700 and used only while it is a real folder of ours that no one
// else may enter. Both ends check the other's user (SO_PEERCRED): files are never handed to a
// server of another user, and a client of another user is refused. The server bounds what a
// client may cost it: the message size, the number of paths, the connections at once, and how
// long a connection may stay silent.

#include <QLocalServer>
#include <QObject>
#include <QStringList>

#include <optional>

#include "dorvex/platform/FileDescriptor.h"

class QLocalSocket;

namespace dorvex::app {

// What a client may cost the running instance.
struct InstanceLimits {
    qint64 maxBytes = 16 * 1024 * 1024;  // the paths of one message, as UTF-8
    int maxPaths = 100000;
    int maxConnections = 4;  // at once; more are closed on arrival (their starts try again)
    int readTimeoutMilliseconds = 10000;  // a connection that has not delivered its message by then is closed
    bool operator==(const InstanceLimits&) const = default;
};

class SingleInstance : public QObject {
    Q_OBJECT

public:
    using Limits = InstanceLimits;

    enum class Role {
        serving,     // this process is the instance
        handedOver,  // the running instance took the files
        failed,      // neither: problem() says why
    };

    // $XDG_RUNTIME_DIR when it passes privateFolderProblem, else /tmp/dorvex-app-<uid>.
    static QString defaultFolder();
    // Makes `folder` (0700) when it is missing; then what keeps it from being a private folder of
    // ours (a symbolic link, no folder, another owner, access for others), or nothing.
    static std::optional<QString> privateFolderProblem(const QString& folder);

    explicit SingleInstance(QString folder = defaultFolder(), Limits limits = {}, QObject* parent = nullptr);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Becomes the instance, or hands `files` (absolute paths; none just asks for the main window)
    // to the one that is. While the lock's holder is not listening yet, it tries again until the
    // time is up.
    Role start(const QStringList& files, int timeoutMilliseconds = 5000);
    // Stops serving: the socket and the lock file are removed and the lock released.
    void close();

    QString socketName() const;
    QString problem() const { return problem_; }

signals:
    // A later start handed these files over (possibly none).
    void activated(const QStringList& files);

private:
    enum class Claim { taken, heldElsewhere, failed };
    Claim claim();
    std::optional<Role> handOver(const QStringList& files, int timeoutMilliseconds);
    void accept();
    void serve(QLocalSocket* socket);

    QString folder_;
    Limits limits_;
    QString problem_;
    FileDescriptor lock_;
    QLocalServer server_;
    int connections_ = 0;
};

}  // namespace dorvex::app
