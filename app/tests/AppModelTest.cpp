// The app model end to end on the real engine with small generated media: the queue's limit, the
// ignored count, re-compressing, the compare selection, clearing, video reports, the summary and
// quitting; the list model is checked by QAbstractItemModelTester throughout. The queue's rules
// on their own are in AppModelQueueTest.

#include <QAbstractItemModelTester>
#include <QPointer>
#include <QStandardPaths>
#include <QSignalSpy>

#include "AppTestSupport.h"
#include "image/encoders/ToolRunner.h"
#include "dorvex/platform/AppPaths.h"
#include "dorvex/text/Format.h"
#include "engine/worker/WorkerPool.h"
#include "model/AppModel.h"

using namespace dorvex;
using namespace dorvex::app;
using dorvex::app::testing::writePng;
namespace fs = std::filesystem;

class AppModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ObservablePresetStore> presets;
    std::unique_ptr<QTemporaryDir> media;
    QStringList log;  // "start name" and "finish name", in the order they happened
    CompressionItem* changed = nullptr;  // the item of the latest changed row

    std::unique_ptr<AppModel> makeModel(int processors) {
        auto model = std::make_unique<AppModel>(*presets, Toolchain::locate(), processors);
        new QAbstractItemModelTester(model->itemList(), QAbstractItemModelTester::FailureReportingMode::QtTest,
                                     model.get());
        // Every item's start and finish is logged, no more jobs than allowed ever run, and each
        // change is announced on the item's own row.
        connect(model->itemList(), &QAbstractItemModel::dataChanged, model.get(),
                [this, m = model.get()](const QModelIndex& top) { changed = m->items().at(top.row()); });
        connect(model->itemList(), &QAbstractItemModel::rowsInserted, model.get(), [this, m = model.get()](auto, int first, int last) {
            for (int row = first; row <= last; ++row) {
                CompressionItem* item = m->items().at(row);
                connect(item, &CompressionItem::stateChanged, item, [this, m, item] {
                    QCOMPARE(changed, item);
                    QVERIFY(m->runningCount() <= m->maxConcurrent());
                    const QString name = QString::fromStdString(item->source().filename().string());
                    if (item->running() && item->running()->attempt == 0) log << "start " + name;
                    if (item->result()) log << "finish " + name;
                });
            }
        });
        return model;
    }
    fs::path file(const std::string& name) { return fs::path(media->path().toStdString()) / name; }
    // The item's result line, for messages.
    static QByteArray status(const CompressionItem* item) {
        return item->result() ? QByteArray::fromStdString(Format::statusLine(*item->result())) : "not finished";
    }
    static bool allFinished(const AppModel& model) {
        return model.runningCount() == 0 &&
               std::all_of(model.items().begin(), model.items().end(), [](auto* item) { return item->result(); });
    }

private slots:
    void init() {
        if (!Toolchain::locate().pngquant) QSKIP("pngquant is not installed");
        settings = std::make_unique<SettingsStore>(AppPaths::settingsFolder());
        presets = std::make_unique<ObservablePresetStore>(AppPaths::presetsFile(), *settings);
        presets->select(PresetLibrary::defaultID);
        media = std::make_unique<QTemporaryDir>(QString::fromStdString(AppPaths::homeFolder().string()) + "/media-XXXXXX");
        log.clear();
    }

    void concurrencyFollowsTheProcessorCount_data() {
        QTest::addColumn<int>("processors");
        QTest::addColumn<int>("limit");
        for (auto [processors, limit] : {std::pair{1, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 3}, {7, 3}, {8, 4}, {64, 4}})
            QTest::addRow("%d", processors) << processors << limit;
    }
    void concurrencyFollowsTheProcessorCount() {
        QFETCH(int, processors);
        QFETCH(int, limit);
        QCOMPARE(AppModel::maxConcurrentFor(processors), limit);
    }

    void fourOfFiveStartAndTheFifthWhenOneReturns() {
        for (int i = 1; i <= 5; ++i) writePng(file("folder/p" + std::to_string(i) + ".png"));
        auto model = makeModel(8);
        model->add(std::vector{file("folder")});
        QCOMPARE(log, QStringList({"start p1.png", "start p2.png", "start p3.png", "start p4.png"}));
        QVERIFY(model->items().back()->isQueued());
        QTRY_VERIFY_WITH_TIMEOUT(allFinished(*model), 60000);
        QVERIFY(log.indexOf("start p5.png") > log.indexOf(QRegularExpression("^finish ")));
        QCOMPARE(model->summary().finishedCount, 5);
        QVERIFY2(model->summary().savedBytes > 0, status(model->items().front()));
    }

    void unsupportedFilesAreCountedUntilCleared() {
        writePng(file("folder/a.png"));
        for (const char* name : {"folder/notes.txt", "folder/b.xyz", "folder/.hidden.txt", "readme.txt"})
            QFile(QString::fromStdString(file(name).string())).open(QIODevice::WriteOnly);
        auto model = makeModel(8);
        QSignalSpy ignored(model.get(), &AppModel::ignoredCountChanged);
        model->add(std::vector{file("folder")});
        QCOMPARE(model->ignoredCount(), 2);
        model->add(std::vector{file("readme.txt"), file("missing.png")});
        QCOMPARE(model->ignoredCount(), 4);
        QCOMPARE(model->items().size(), 1);
        model->clear();
        QCOMPARE(model->ignoredCount(), 0);
        QCOMPARE(ignored.count(), 3);
        QVERIFY(model->items().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(model->runningCount(), 0, 60000);
    }

    // Decoders that crash end their own rows only: the queue goes on, and takes more work after.
    void crashingDecodersFailOnlyTheirRows() {
        WorkerPool::Testing::useProgram(fs::path(DORVEX_FAULTY_WORKER));
        auto model = makeModel(2);
        model->add(std::vector{writePng(file("first.png")), writePng(file("abort.png")), writePng(file("segv.png")),
                               writePng(file("last.png"))});
        QTRY_VERIFY_WITH_TIMEOUT(allFinished(*model), 60000);
        model->add(std::vector{writePng(file("later.png"))});
        QTRY_VERIFY_WITH_TIMEOUT(allFinished(*model) && model->items().size() == 5, 60000);
        WorkerPool::Testing::useProgram(std::nullopt);
        for (const CompressionItem* item : model->items()) {
            const std::string name = item->source().stem().string();
            const bool crashes = name == "abort" || name == "segv";
            QVERIFY2(crashes ? item->result()->failed() != nullptr : !item->result()->failed(), status(item));
            if (!crashes) continue;
            const std::string& text = item->result()->failed()->message;
#if defined(__SANITIZE_ADDRESS__)
            // AddressSanitizer catches a segfault itself, reports it and exits.
            if (name == "segv" && text == WorkerPool::exitedText) continue;
#endif
            QCOMPARE(text, std::string(WorkerPool::crashedText));
        }
    }

    void recompressAllLeavesReplacedSourcesAlone() {
        CompressionOptions overwrite = presets->options();
        overwrite.saveLocation = SaveLocation::overwrite();
        presets->setOptions(overwrite);
        QFile broken(QString::fromStdString(file("broken.png").string()));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("no picture") > 0);
        broken.close();
        auto model = makeModel(8);
        model->add(std::vector{writePng(file("good.png")), file("broken.png")});
        model->recompressAll();  // while both run: their first results are dropped
        QTRY_VERIFY_WITH_TIMEOUT(allFinished(*model), 60000);
        QCOMPARE(log.filter("finish").size(), 2);
        CompressionItem* good = model->items().at(0);
        CompressionItem* failed = model->items().at(1);
        QVERIFY2(good->result()->isSuccess() && failed->result()->failed(), status(good) + " / " + status(failed));
        QVERIFY(!good->canRecompress() && failed->canRecompress());

        overwrite.level = 5;
        presets->setOptions(overwrite);
        const CompressionItem::State done = good->state();
        model->recompressAll();
        model->recompress(good);
        QCOMPARE(good->state(), done);
        QCOMPARE(good->options().level, 3.0);
        QVERIFY(!failed->result());
        QCOMPARE(failed->options().level, 5.0);
        QTRY_VERIFY_WITH_TIMEOUT(allFinished(*model), 60000);
    }

    void removingTheComparedItemClearsTheComparison() {
        auto model = makeModel(8);
        model->add(std::vector{writePng(file("a.png")), writePng(file("b.png"))});
        CompressionItem* a = model->items().at(0);
        model->setCompareItemID(a->id());
        model->remove(model->items().at(1));
        QCOMPARE(model->compareItemID(), a->id());
        QSignalSpy compared(model.get(), &AppModel::compareItemIDChanged);
        model->remove(a);
        QCOMPARE(model->compareItemID(), std::nullopt);
        QCOMPARE(compared.count(), 1);
        QCOMPARE(model->summary(), AppModel::Summary{});
        QTRY_COMPARE_WITH_TIMEOUT(model->runningCount(), 0, 60000);
    }

    void aVideoShowsProgressButNotItsPassReports() {
        const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
        if (ffmpeg.isEmpty()) QSKIP("the ffmpeg tool is not installed");
        QCOMPARE(ToolRunner::run(ffmpeg.toStdString(), {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=15", "-t", "2",
                                                        "-pix_fmt", "yuv420p", "-c:v", "libx264", "-qp", "0",
                                                        file("clip.mp4").string()})
                     .status,
                 0);
        auto model = makeModel(8);
        model->add(std::vector{file("clip.mp4")});
        CompressionItem* item = model->items().front();
        QVERIFY(item->isVideo() && !item->isPDF());
        QList<CompressionItem::Running> shown;
        connect(item, &CompressionItem::stateChanged, this, [&] { if (item->running()) shown << *item->running(); });
        QTRY_VERIFY_WITH_TIMEOUT(allFinished(*model), 300000);
        QVERIFY2(item->result()->isSuccess(), status(item));
        QVERIFY(!shown.isEmpty());
        for (const auto& running : shown) QVERIFY(running.progress && !running.quality && running.attempt >= 1);
        QCOMPARE(item->sourcePixelSize(), (PixelSize{160, 120}));
    }

    void theSummaryCountsFinishedItemsFailuresAndSavedBytesOfSuccesses() {
        CompressionResult success, skipped, failed, cancelled;
        success.status = CompressionResult::Success{};
        success.sourceBytes = 1000;
        success.outputBytes = 400;
        skipped.status = CompressionResult::Skipped{SkipReason::noSavings};
        skipped.sourceBytes = 500;
        failed.status = CompressionResult::Failed{"文件已损坏或格式不受支持"};
        cancelled.status = CompressionResult::Failed{std::string(cancelledText)};
        CompressionItem a("/a.png", {}), b("/b.png", {}), c("/c.png", {}), d("/d.heic", {}), e("/e.pdf", {});
        a.setState(CompressionItem::Finished{success});
        b.setState(CompressionItem::Finished{skipped});
        c.setState(CompressionItem::Running{});
        d.setState(CompressionItem::Finished{failed});
        e.setState(CompressionItem::Finished{cancelled});
        QCOMPARE(AppModel::summarize({&a, &b, &c, &d}), (AppModel::Summary{4, 3, 600, 1000, 1, true}));
        QCOMPARE(AppModel::summarize({&d, &e}), (AppModel::Summary{2, 2, 0, 0, 1, false}));
    }

    void missingEncodersAreNamedInTheirFixedOrder() {
        Toolchain some;
        some.pngquant = "/usr/bin/pngquant";
        AppModel model(*presets, some, 8);
        QCOMPARE(model.missingEncoders(), QStringList({"mozjpeg cjpeg", "cwebp", "cjxl"}));
    }

    void quittingEndsTheJobsAndNoReportArrivesAfterwards() {
        auto model = makeModel(8);
        model->add(std::vector{writePng(file("a.png"), 1500), writePng(file("b.png"), 1500)});
        model->shutdown();
        QTest::qWait(200);
        for (auto* item : model->items()) QVERIFY(item->running() && item->running()->attempt == 0);
        QCOMPARE(model->runningCount(), 2);
    }
};

DORVEX_APP_TEST_MAIN(AppModelTest)
#include "AppModelTest.moc"
