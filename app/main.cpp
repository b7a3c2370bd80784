// dorvex-app: the desktop application. A start while another instance runs hands the files on its
// command line to that one (which adds them and shows its main window) and exits.

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QUrl>

#include <cstdio>

#include "model/AppModel.h"
#include "shell/AppShell.h"
#include "shell/SingleInstance.h"
#include "views/ThemeIcon.h"
#include "views/window/MainWindow.h"
#include "views/window/SummaryBar.h"

using namespace dorvex::app;

namespace {

// The files to open: paths (as a file manager passes them with %F), or file:// URLs (%U).
QStringList filesToOpen(const QStringList& arguments) {
    QStringList files;
    for (const QString& argument : arguments) {
        const QUrl url(argument);
        files << QFileInfo(url.isLocalFile() ? url.toLocalFile() : argument).absoluteFilePath();
    }
    return files;
}

// Once the list holds items and every one has finished: the summary line on standard output, then
// quit, with exit status 1 when a job failed. For scripts and the end-to-end test.
void quitWhenDone(AppShell& shell) {
    AppModel& model = shell.model();
    QObject::connect(&model, &AppModel::summaryChanged, &shell, [&shell, &model] {
        const AppModel::Summary summary = model.summary();
        if (summary.count == 0 || summary.finishedCount < summary.count) return;
        const auto* line = shell.mainWindow().findChild<SummaryBar*>();
        std::printf("%s\n", (line != nullptr ? line->text() : QString()).toUtf8().constData());
        std::fflush(stdout);
        QCoreApplication::exit(summary.failedCount > 0 ? 1 : 0);
    }, Qt::QueuedConnection);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dorvex"));
    QApplication::setApplicationVersion(QStringLiteral(DORVEX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("local.dorvex.app"));
    QApplication::setWindowIcon(themeIcon(QStringLiteral("local.dorvex.app"), QStringLiteral("app.svg")));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Dorvex：压缩图片、视频和 PDF。"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption quitOption(QStringLiteral("quit-when-done"),
                                        QStringLiteral("所有文件处理完后打印汇总行并退出。"));
    parser.addOption(quitOption);
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("要压缩的文件或文件夹。"),
                                 QStringLiteral("[文件…]"));
    parser.process(application);

    const QStringList files = filesToOpen(parser.positionalArguments());
    SingleInstance instance;
    if (instance.handOff(files)) return 0;
    if (!instance.listen() && instance.handOff(files)) return 0;  // another start won the race

    AppShell shell;
    QObject::connect(&instance, &SingleInstance::activated, &shell, &AppShell::open);
    if (parser.isSet(quitOption)) quitWhenDone(shell);
    shell.open(files);
    return QApplication::exec();
}
