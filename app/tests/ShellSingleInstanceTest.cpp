// One running dorvex-app per user: starts at once agree on one instance and hand it their files,
// the runtime folder must be private, a client cannot make the instance hold an oversized message
// or many connections, and a signal ends the real application as a quit does.

#include <QDir>
#include <QEventLoop>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <barrier>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "shell/SingleInstance.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

namespace {

QString runtimeFolder(const QString& name) {
    const QString folder = QString::fromStdString((AppPaths::homeFolder() / "run").string()) + "/" + name;
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return folder;
}

QStringList entries(const QString& folder, const QString& pattern) {
    return QDir(folder).entryList({pattern}, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

}  // namespace

class ShellSingleInstanceTest : public QObject {
    Q_OBJECT

private slots:
    void startsAtOnceServeOnceAndHandOver() {
        // Starts in threads of their own, released together: the one that serves collects what
        // the others hand over (names may hold line breaks; no files is a click on the launcher).
        const QString folder = runtimeFolder("at-once");
        constexpr int starts = 4;
        std::barrier together(starts);
        std::vector<SingleInstance::Role> roles(starts, SingleInstance::Role::failed);
        QList<QStringList> received;
        std::vector<std::unique_ptr<QThread>> threads;
        for (std::size_t index = 0; index < starts; ++index) {
            threads.emplace_back(QThread::create([&, index] {
                together.arrive_and_wait();
                SingleInstance instance(folder);
                const QStringList files =
                    index == 0 ? QStringList() : QStringList{QStringLiteral("/tmp/%1\n.png").arg(index)};
                if ((roles[index] = instance.start(files, 30000)) != SingleInstance::Role::serving) return;
                QEventLoop loop;
                connect(&instance, &SingleInstance::activated, &loop, [&](const QStringList& handed) {
                    received << handed;
                    if (received.size() == starts - 1) loop.quit();
                });
                loop.exec();
            }));
            threads.back()->start();
        }
        for (const auto& thread : threads) QVERIFY(thread->wait());
        QCOMPARE(std::count(roles.begin(), roles.end(), SingleInstance::Role::serving), 1);
        QCOMPARE(std::count(roles.begin(), roles.end(), SingleInstance::Role::handedOver), starts - 1);
        const qsizetype handedNothing = roles[0] == SingleInstance::Role::serving ? 0 : 1;
        QCOMPARE(received.count(QStringList()), handedNothing);
        QCOMPARE(received.size(), starts - 1);
        // The instance that served took its socket and lock with it.
        QCOMPARE(entries(folder, "*"), QStringList());
    }

    void runtimeFolderMustBePrivate() {
        const QString base = runtimeFolder("folders");
        const QString own = base + "/own";
        QVERIFY(!SingleInstance::privateFolderProblem(own));  // made when missing
        struct stat made {};
        QCOMPARE(::stat(QFile::encodeName(own).constData(), &made), 0);
        QCOMPARE(made.st_mode & 07777, 0700u);
        QVERIFY(QDir().mkdir(base + "/open"));
        QCOMPARE(::chmod(QFile::encodeName(base + "/open").constData(), 0755), 0);
        QVERIFY(QFile::link(own, base + "/link"));
        QFile file(base + "/file");
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (const char* name : {"open", "link", "file"}) {
            QVERIFY2(SingleInstance::privateFolderProblem(base + "/" + name), name);
            SingleInstance instance(base + "/" + name);
            QCOMPARE(instance.start({}), SingleInstance::Role::failed);
        }
        QCOMPARE(entries(own, "*"), QStringList());  // nothing made through the link
    }

    void clientsCannotMakeTheInstanceHoldMore() {
        SingleInstance::Limits limits{
            .maxBytes = 64, .maxPaths = 2, .maxConnections = 2, .readTimeoutMilliseconds = 100};
        const QString folder = runtimeFolder("limits");
        SingleInstance instance(folder, limits);
        QCOMPARE(instance.start({}), SingleInstance::Role::serving);
        QSignalSpy activated(&instance, &SingleInstance::activated);

        // Refused: the connection closes unanswered and nothing is opened. An announced size over
        // the limit is refused from the greeting, before what follows is read.
        const std::pair<QByteArray, bool> cases[] = {
            {QByteArrayLiteral("dorvex-open 2 4\na\0b\0"), true},
            {"dorvex-open 2 65\n" + QByteArray(65, 'a'), false},
            {"dorvex-open 2 999999999999\n" + QByteArray(64 * 1024, 'a'), false},
            {QByteArrayLiteral("dorvex-open 2 6\na\0b\0c\0"), false},
            {"dorvex-open 2 " + QByteArray(100, '1'), false},
            {"hello\n", false},
            {"", false},  // silent until the read time-out
        };
        for (const auto& [message, taken] : cases) {
            QLocalSocket client;
            client.connectToServer(instance.socketName());
            QVERIFY(client.waitForConnected());
            client.write(message);
            QTRY_COMPARE(client.state(), QLocalSocket::UnconnectedState);
            QCOMPARE(client.readAll(), taken ? QByteArray("+") : QByteArray());
            QCOMPARE(activated.size(), taken ? 1 : 0);
            activated.clear();
        }
        // A start with more than the limit allows is refused before it connects.
        QCOMPARE(SingleInstance(folder, limits).start({"a", "b", "c"}), SingleInstance::Role::failed);

        // Connections beyond the limit are closed on arrival; those within it stay.
        limits.readTimeoutMilliseconds = 600000;
        SingleInstance patient(runtimeFolder("connections"), limits);
        QCOMPARE(patient.start({}), SingleInstance::Role::serving);
        QLocalSocket clients[3];
        for (QLocalSocket& client : clients) {
            client.connectToServer(patient.socketName());
            QVERIFY(client.waitForConnected());
        }
        QTRY_COMPARE(clients[2].state(), QLocalSocket::UnconnectedState);
        QCOMPARE(clients[0].state(), QLocalSocket::ConnectedState);
        QCOMPARE(clients[1].state(), QLocalSocket::ConnectedState);
    }

    void signalEndsTheApplicationLikeAQuit() {
        // The real application, compressing a clip long enough to be caught mid-pass.
        const fs::path root = AppPaths::homeFolder() / "signal";
        const QString tmp = QString::fromStdString((root / "tmp").string());
        const QString run = runtimeFolder("signal");
        QDir().mkpath(tmp);
        const QString clip = QString::fromStdString((root / "long.mp4").string());
        QCOMPARE(std::system(qPrintable("ffmpeg -v error -f lavfi -i testsrc=size=640x360:rate=30 -t 20 -c:v libx264 "
                                        "-preset ultrafast '" + clip + "'")), 0);

        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", tmp);
        environment.insert("XDG_RUNTIME_DIR", run);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        app.setProcessEnvironment(environment);
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(QCoreApplication::applicationDirPath() + "/dorvex-app", {"--quit-when-done", clip});
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!entries(tmp, "dorvex-*").isEmpty(), 60000);
        ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(60000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 128 + SIGTERM);
        QCOMPARE(entries(tmp, "dorvex-*"), QStringList());
        QCOMPARE(entries(run, "*"), QStringList());
        QCOMPARE(entries(QString::fromStdString(root.string()), "long-min*"), QStringList());
    }
};

DORVEX_APP_TEST_MAIN(ShellSingleInstanceTest)

#include "ShellSingleInstanceTest.moc"
