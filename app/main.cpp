// dorvex-app: the desktop application. A start while another instance runs hands the files on its
// command line to that one (which adds them and shows its main window) and exits.

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "shell/AppShell.h"
#include "shell/SingleInstance.h"
#include "views/ThemeIcon.h"

using namespace dorvex::app;

namespace {

// The files to open: paths (as a file manager passes them with %F), or file:// URLs.
QStringList filesToOpen(const QStringList& arguments) {
    QStringList files;
    for (const QString& argument : arguments.mid(1)) {
        if (argument.startsWith(QLatin1String("--"))) continue;
        const QUrl url(argument);
        const QString path = url.isLocalFile() ? url.toLocalFile() : argument;
        files << QFileInfo(path).absoluteFilePath();
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dorvex"));
    QApplication::setApplicationDisplayName(QStringLiteral("Dorvex"));
    QApplication::setDesktopFileName(QStringLiteral("local.dorvex.app"));
    QApplication::setWindowIcon(themeIcon(QStringLiteral("local.dorvex.app"), QStringLiteral("app.svg")));

    const QStringList files = filesToOpen(QApplication::arguments());
    SingleInstance instance;
    if (instance.handOff(files)) return 0;
    if (!instance.listen() && instance.handOff(files)) return 0;  // another start won the race

    AppShell shell;
    QObject::connect(&instance, &SingleInstance::activated, &shell, &AppShell::open);
    shell.open(files);
    return QApplication::exec();
}
