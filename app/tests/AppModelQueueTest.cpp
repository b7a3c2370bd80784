// The app model's queue and its collecting of dropped folders, on an engine entry that finishes
// jobs only when the test says so: the limit and its order, the progress and time left, re-dropped
// and re-queued items whose late results are dropped, the scoring setting in each job's options,
// and dropped folders listed in batches off the main thread.

#include <QAbstractItemModelTester>
#include <QPointer>
#include <QSignalSpy>

#include <fstream>

#include "AppTestSupport.h"
#include "dorvex/platform/AppPaths.h"
#include "model/AppModel.h"

using namespace dorvex;
using namespace dorvex::app;
namespace fs = std::filesystem;

namespace {

// Holds every started job's handlers until the test finishes it, as the engine's threads would.
struct FakeEngine {
    struct Job {
        QString name;
        CompressionOptions options;
        Compressor::CompletionHandler onFinished;
        Compressor::Job handle;
    };
    std::vector<Job> jobs;

    AppModel::Entry entry() {
        return [this](const fs::path& source, const CompressionOptions& options, const Toolchain& toolchain, EventHandler,
                      Compressor::CompletionHandler onFinished) {
            // A real handle, for its cancellation flag; the engine only finds that its file is missing.
            Compressor::Job handle = Compressor::compress("/nonexistent/" + source.filename().string(), options, toolchain, nullptr);
            jobs.push_back({QString::fromStdString(source.filename().string()), options, std::move(onFinished), handle});
            return handle;
        };
    }
    QStringList started() const {
        QStringList names;
        for (const Job& job : jobs) names << job.name;
        return names;
    }
    // Finishes the job with a saving of `saved` bytes and lets the model hear of it.
    void finish(std::size_t index, std::int64_t saved = 100) {
        CompressionResult result;
        result.status = CompressionResult::Success{};
        result.sourceBytes = 1000;
        result.outputBytes = 1000 - saved;
        jobs.at(index).onFinished(result);
        QCoreApplication::sendPostedEvents();
    }
};

QStringList names(const AppModel& model) {
    QStringList names;
    for (const CompressionItem* item : model.items()) names << QString::fromStdString(item->source().filename().string());
    return names;
}

}  // namespace

class AppModelQueueTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ObservablePresetStore> presets;
    std::unique_ptr<QTemporaryDir> media;
    FakeEngine engine;

    std::unique_ptr<AppModel> makeModel(int processors) {
        auto model = std::make_unique<AppModel>(*presets, Toolchain{}, processors, engine.entry());
        new QAbstractItemModelTester(model->itemList(), QAbstractItemModelTester::FailureReportingMode::QtTest,
                                     model.get());
        return model;
    }
    fs::path file(const std::string& name) {
        const fs::path path = fs::path(media->path().toStdString()) / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
        return path;
    }
    static QUrl url(const fs::path& path) { return QUrl::fromLocalFile(QString::fromStdString(path.string())); }

private slots:
    void init() {
        settings = std::make_unique<SettingsStore>(AppPaths::settingsFolder());
        presets = std::make_unique<ObservablePresetStore>(AppPaths::presetsFile(), *settings);
        media = std::make_unique<QTemporaryDir>(QString::fromStdString(AppPaths::homeFolder().string()) + "/media-XXXXXX");
        engine.jobs.clear();
    }

    // A drop runs from its top row down, where the user looks; an earlier drop still waiting goes
    // first, before a later one at the top.
    void theLimitStartsDropsInTurnEachFromTheTop() {
        for (int i = 1; i <= 5; ++i) file("folder/p" + std::to_string(i) + ".png");
        auto model = makeModel(8);
        model->add(std::vector{fs::path(media->path().toStdString()) / "folder"});
        model->add(std::vector{file("later.png")});
        QCOMPARE(names(*model), QStringList({"later.png", "p1.png", "p2.png", "p3.png", "p4.png", "p5.png"}));
        QCOMPARE(engine.started(), QStringList({"p1.png", "p2.png", "p3.png", "p4.png"}));
        engine.finish(1);
        QCOMPARE(engine.started().last(), "p5.png");
        engine.finish(0);
        QCOMPARE(engine.started().last(), "later.png");
        QCOMPARE(model->runningCount(), 4);
        QCOMPARE(model->summary().finishedCount, 2);
        QCOMPARE(model->summary().savedBytes, 200);
    }

    // The count and the time left at the pace so far, made at each finish and counting down from
    // there; a list with nothing to do has none, and the next drop starts afresh.
    void progressCountsTheWorkUnderWayAndItsTimeLeft() {
        auto now = std::chrono::steady_clock::time_point();
        auto model = makeModel(2);
        model->setClock([&now] { return now; });
        const auto at = [&now](int seconds) { now = std::chrono::steady_clock::time_point(std::chrono::seconds(seconds)); };
        using Progress = AppModel::Progress;
        model->add(std::vector{file("a.png"), file("b.png"), file("c.png"), file("d.png")});
        QCOMPARE(model->progress(), Progress({0, 4, std::nullopt}));
        at(10);
        engine.finish(0);
        QCOMPARE(model->progress(), Progress({1, 4, 30.0}));
        at(16);
        QCOMPARE(model->progress(), Progress({1, 4, 24.0}));
        at(100);
        QCOMPARE(model->progress(), Progress({1, 4, 0.0}));
        model->add(std::vector{file("e.png")});  // joins the work under way
        QCOMPARE(model->progress()->total, 5);
        for (std::size_t job = 1; job < 5; ++job) engine.finish(job);
        QCOMPARE(model->progress(), std::nullopt);
        at(200);
        model->add(std::vector{file("f.png")});
        QCOMPARE(model->progress(), Progress({0, 1, std::nullopt}));
        at(230);
        model->add(std::vector{file("g.png")});
        engine.finish(5);
        QCOMPARE(model->progress(), Progress({1, 2, 30.0}));
    }

    // Re-dropping, re-queueing and removing all stop the running job; its late result frees its
    // slot but changes nothing.
    void aStoppedJobsLateResultIsDropped() {
        struct Case {
            const char* name;
            std::function<void(AppModel&)> stop;
            int listed;
        };
        const Case cases[] = {
            {"dropped again", [this](AppModel& m) { m.add(std::vector{file("a.png")}); }, 1},
            {"re-queued", [](AppModel& m) { m.recompressAll(); }, 1},
            {"removed", [](AppModel& m) { m.remove(m.items().front()); }, 0},
        };
        for (const Case& c : cases) {
            engine.jobs.clear();
            auto model = makeModel(2);
            model->add(std::vector{file("a.png")});
            QPointer<CompressionItem> old = model->items().front();
            c.stop(*model);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY2(engine.jobs.at(0).handle.isCancelled(), c.name);
            QCOMPARE(model->items().size(), c.listed);
            engine.finish(0, 500);
            QCOMPARE(model->summary().finishedCount, 0);
            if (c.listed == 0) continue;
            // The new run started beside the winding-down one, and its own result counts.
            QCOMPARE(engine.jobs.size(), std::size_t(2));
            QVERIFY2(old.isNull() == (std::string(c.name) == "dropped again"), c.name);
            engine.finish(1, 300);
            QCOMPARE(model->summary().savedBytes, 300);
        }
    }

    // The scoring setting as it stands when a job is listed or re-queued reaches its options; the
    // presets' options stay as they are. A settings file from before the setting reads as on.
    void theScoringSettingReachesEachJob() {
        settings->setPersistentDomain({{"showMenuBarIcon", true}}, applicationSettingsDomain);
        auto model = makeModel(8);
        model->add(std::vector{file("on.png")});
        settings->setValue(SettingsKeys::perceptualScore, false);
        model->add(std::vector{file("off.png")});
        settings->setValue(SettingsKeys::perceptualScore, true);
        model->recompress(model->items().front());
        QCOMPARE(engine.started(), QStringList({"on.png", "off.png", "off.png"}));
        QCOMPARE(engine.jobs.at(0).options.perceptualScore, true);
        QCOMPARE(engine.jobs.at(1).options.perceptualScore, false);
        QCOMPARE(engine.jobs.at(2).options.perceptualScore, true);
        QVERIFY(!presets->isModified());
        settings->removePersistentDomain(applicationSettingsDomain);
    }

    void droppedFoldersArriveInBatchesOffTheMainThread() {
        const int count = AppModel::collectBatch * 2 + 1;
        for (int i = 0; i < count; ++i) file("big/f" + QString::number(i).rightJustified(4, '0').toStdString() + ".jpg");
        const fs::path single = file("single.png");
        auto model = makeModel(2);
        model->add(std::vector{single});
        QSignalSpy inserted(model->itemList(), &QAbstractItemModel::rowsInserted);
        model->add(QList<QUrl>{url(fs::path(media->path().toStdString()) / "big"), url(single)});
        QVERIFY(model->collecting());
        QCOMPARE(model->items().size(), 1);  // nothing walked on this thread
        QTRY_VERIFY(!model->collecting());
        QCOMPARE(inserted.count(), 4);  // three batches of the folder, then the file dropped again
        QCOMPARE(model->items().size(), count + 1);
        QCOMPARE(names(*model).first(), "f0000.jpg");
        QCOMPARE(names(*model).at(AppModel::collectBatch), QString("f%1.jpg").arg(AppModel::collectBatch, 4, 10, QChar('0')));
        QCOMPARE(names(*model).last(), "single.png");
        QCOMPARE(model->collectedCount(), 0);
    }

    void ignoredFilesShowAndClearingOrQuittingDropsWhatIsStillCollected() {
        auto model = makeModel(2);
        model->add(QList<QUrl>{url(file("notes.txt")), url(file("b.xyz"))});
        QTRY_VERIFY(!model->collecting());
        QCOMPARE(model->ignoredCount(), 2);
        QVERIFY(model->items().isEmpty());

        model->add(QList<QUrl>{url(file("x/a.png"))});
        model->add(QList<QUrl>{url(file("b.png"))});
        model->clear();
        QTRY_VERIFY(!model->collecting());
        QVERIFY(model->items().isEmpty());
        QCOMPARE(model->ignoredCount(), 0);

        // Quitting joins the collecting thread; what it found is not listed any more.
        model->add(QList<QUrl>{url(file("c.png"))});
        model->shutdown();
        QCoreApplication::sendPostedEvents();
        QVERIFY(model->items().isEmpty());
    }
};

DORVEX_APP_TEST_MAIN(AppModelQueueTest)
#include "AppModelQueueTest.moc"
