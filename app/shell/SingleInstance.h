#pragma once
// SingleInstance: one running application per user. The first start listens on a local socket in
// the user's runtime folder; a later start (a file manager opening files with the app, a click on
// the launcher) hands its file arguments to it and exits, and the running one adds them and shows
// its main window.

#include <QLocalServer>
#include <QObject>
#include <QStringList>

namespace dorvex::app {

class SingleInstance : public QObject {
    Q_OBJECT

public:
    // The socket's path: $XDG_RUNTIME_DIR/local.dorvex.app, else one per user in the temporary folder.
    static QString defaultSocketName();

    explicit SingleInstance(QString socketName = defaultSocketName(), QObject* parent = nullptr);

    // Hands `files` (absolute paths; none just asks for the main window) to a running instance.
    // False when none answers: this process is the first.
    bool handOff(const QStringList& files, int timeoutMilliseconds = 2000) const;
    // Becomes the running instance: listens for later starts, replacing a socket left behind by
    // an instance that ended without closing it. False when another instance listens already or
    // the socket cannot be made.
    bool listen();

signals:
    // A later start handed these files over (possibly none).
    void activated(const QStringList& files);

private:
    void accept();

    QString socketName_;
    QLocalServer server_;
};

}  // namespace dorvex::app
