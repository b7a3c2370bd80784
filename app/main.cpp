// dorvex-app: the desktop application. A start while another instance runs hands the files on its
// command line to that one (which adds them and shows its main window) and exits. SIGINT, SIGTERM
// and SIGHUP quit it as a normal quit does and end it with 128 + the signal. File choosers are the
// desktop's own through its portal where one runs, and Qt's own texts follow the locale.

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QTranslator>
#include <QUrl>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "dorvex/platform/FileDescriptor.h"
#include "dorvex/text/Translation.h"
#include "model/AppModel.h"
#include "model/UiText.h"
#include "shell/AppShell.h"
#include "shell/SingleInstance.h"
#include "views/ThemeIcon.h"
#include "views/window/MainWindow.h"
#include "views/window/SummaryBar.h"

using namespace dorvex;
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

// The arguments Qt starts with: the command line, plus the desktop portal's platform theme when
// Qt has it (Debian: qt6-xdgdesktopportal-platformtheme) and nobody chose a theme. That theme
// leaves everything to the desktop's own theme but the file and folder choosers, which it asks of
// the portal (GNOME's, KDE's… chooser, also in a sandbox) and, when no portal answers, leaves to
// Qt's own dialog. Given as an argument, not through the environment, so that programs started
// from the application (the viewer that opens an output) keep their own theme. Not on the
// offscreen and minimal platforms, which the tests and screenshots use and which have no desktop.
std::vector<char*> qtArguments(int argc, char** argv) {
    static char themeOption[] = "-platformtheme";
    static char portalTheme[] = "xdgdesktopportal";
    // The value of Qt's option `name` (given as -name or --name), else the environment's `variable`.
    const auto qtOption = [&](std::string_view name, const char* variable) -> std::optional<QByteArray> {
        for (int i = 1; i + 1 < argc; ++i) {
            const std::string_view argument = argv[i];
            if (argument.starts_with('-') && argument.substr(argument.starts_with("--") ? 2 : 1) == name)
                return QByteArray(argv[i + 1]);
        }
        if (qEnvironmentVariableIsSet(variable)) return qgetenv(variable);
        return std::nullopt;
    };
    const QByteArray platform = qtOption("platform", "QT_QPA_PLATFORM").value_or(QByteArray());
    const bool withoutDesktop = platform.startsWith("offscreen") || platform.startsWith("minimal");
    const bool portalThemeInstalled = QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                                                        QStringLiteral("/platformthemes/libqxdgdesktopportal.so"));

    std::vector<char*> arguments(argv, argv + argc);
    if (portalThemeInstalled && !withoutDesktop && !qtOption("platformtheme", "QT_QPA_PLATFORMTHEME"))
        arguments.insert(arguments.begin() + 1, {themeOption, portalTheme});
    arguments.push_back(nullptr);
    return arguments;
}

// Qt's own texts (the line fields' context menus, the dialogs' buttons, its file dialog) in the
// language our texts came out in, from Debian's qt6-translations-l10n; English where it has none.
void translateQt(QApplication& application) {
    auto* translator = new QTranslator(&application);
    const QLocale language(QString::fromStdString(Translation::language()));
    if (translator->load(language, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
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

// SIGINT, SIGTERM and SIGHUP end the application as quitting does: the jobs are cancelled and
// their encoders and work folders go, the socket and lock are released. The handler only records
// the signal and writes a byte to a pipe; the event loop reads it and quits.
class QuitSignals {
public:
    // The first signal that asked the application to end, or 0.
    static inline std::atomic<int> received{0};

    QuitSignals() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            qWarning("Dorvex: %s", std::strerror(errno));
            return;
        }
        readEnd_ = FileDescriptor(ends[0]);
        writeEnd_ = FileDescriptor(ends[1]);
        writeFd = writeEnd_.get();
        notifier_.emplace(readEnd_.get(), QSocketNotifier::Read);
        QObject::connect(&*notifier_, &QSocketNotifier::activated, [this] {
            char drained[16];
            while (::read(readEnd_.get(), drained, sizeof drained) > 0) {
            }
            QCoreApplication::quit();
        });
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
    }
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;
    ~QuitSignals() {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
        writeFd = -1;
    }

private:
    static void onSignal(int signal) {
        const int savedErrno = errno;
        int none = 0;
        received.compare_exchange_strong(none, signal);
        const char byte = 1;
        if (writeFd >= 0 && ::write(writeFd, &byte, 1) < 0) {
            // The pipe is full: a quit is on its way already.
        }
        errno = savedErrno;
    }

    static inline volatile std::sig_atomic_t writeFd = -1;
    FileDescriptor readEnd_;
    FileDescriptor writeEnd_;
    std::optional<QSocketNotifier> notifier_;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> arguments = qtArguments(argc, argv);
    int argumentCount = int(arguments.size()) - 1;
    QApplication application(argumentCount, arguments.data());
    Translation::useUserLanguage();
    translateQt(application);
    QApplication::setApplicationName(QStringLiteral("Dorvex"));
    QApplication::setApplicationVersion(QStringLiteral(DORVEX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("local.dorvex.app"));
    QApplication::setWindowIcon(themeIcon(QStringLiteral("local.dorvex.app"), QStringLiteral("app.svg")));

    QCommandLineParser parser;
    parser.setApplicationDescription(ui("Dorvex：压缩图片、视频和 PDF。"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption quitOption(QStringLiteral("quit-when-done"), ui("所有文件处理完后打印汇总行并退出。"));
    parser.addOption(quitOption);
    parser.addPositionalArgument(QStringLiteral("files"), ui("要压缩的文件或文件夹。"), ui("[文件…]"));
    parser.process(application);

    const QStringList files = filesToOpen(parser.positionalArguments());
    QuitSignals quitSignals;
    SingleInstance instance;
    switch (instance.start(files)) {
        case SingleInstance::Role::serving: break;
        case SingleInstance::Role::handedOver: return 0;
        case SingleInstance::Role::failed:
            qWarning("Dorvex: %s", instance.problem().toUtf8().constData());
            return 1;
    }

    AppShell shell;
    QObject::connect(&instance, &SingleInstance::activated, &shell, &AppShell::open);
    if (parser.isSet(quitOption)) quitWhenDone(shell);
    shell.open(files);
    int status = QApplication::exec();
    if (const int signal = QuitSignals::received.load()) status = 128 + signal;

    instance.close();
    if (!shell.shutDown()) {
        // A job is still inside a library call: end without running static destructors under it.
        qWarning("%s", qUtf8Printable(ui("Dorvex: 有任务未能及时停止")));
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
