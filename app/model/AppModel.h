#pragma once
// AppModel: the application's one model. It turns dropped files into CompressionItems (newest
// first), runs the engine on a few of them at a time (drops in the order they came, each from its
// top row down), applies the engine's reports on the main thread, and answers the windows' summary
// and progress questions. It owns the list model the views show, and uses the preset store's
// current options, with the settings that hold for every job, for every new or re-queued item.
//
// Threads: everything here runs on the main thread, except the walk of dropped folders, which runs
// on the model's collecting thread (one drop after another, joined at shutdown). The engine
// reports from its own threads; each report comes back as one queued call, carrying the item's
// identifier and the generation of the run that made it, and is dropped when the item is gone, was
// started again or stopped since, or is no longer running.

#include <QObject>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dorvex/engine/Compressor.h"
#include "dorvex/image/Toolchain.h"
#include "dorvex/output/FileCollector.h"
#include "model/CompressionItem.h"
#include "model/ItemListModel.h"
#include "model/ObservablePresetStore.h"

namespace dorvex::app {

class MainThreadLink;

class AppModel : public QObject {
    Q_OBJECT

public:
    struct Summary {
        int count = 0;
        int finishedCount = 0;  // whatever the result
        std::int64_t savedBytes = 0;   // over successful results
        std::int64_t sourceBytes = 0;  // over successful results
        int failedCount = 0;           // finished with a failure other than a cancellation
        bool allPictures = true;       // no video and no PDF among the items
        bool operator==(const Summary&) const = default;
    };
    // How far the work under way has come: the items finished since the list last had nothing to
    // do, of those and the ones still queued or running, and the time left at the pace so far.
    struct Progress {
        int finished = 0;
        int total = 0;
        std::optional<double> secondsLeft;
        bool operator==(const Progress&) const = default;
    };
    // Where added files come from. Files picked in a file chooser are held to the rule for a
    // folder's files — earlier outputs are passed over and counted — since selecting every file of
    // a folder picks the outputs of earlier runs beside their sources; a file dropped by itself is
    // taken as it is.
    enum class Origin { dropped, chosen };
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // How a job is started: the engine's entry, or one that hands on to it.
    using Entry = std::function<Compressor::Job(const std::filesystem::path&, const CompressionOptions&,
                                                const Toolchain&, EventHandler, Compressor::CompletionHandler)>;

    // `processorCount` sets how many jobs run at once (see maxConcurrentFor).
    AppModel(ObservablePresetStore& presets, Toolchain toolchain, int processorCount, Entry entry = &Compressor::compress,
             QObject* parent = nullptr);
    // Shuts down (see shutdown()).
    ~AppModel() override;

    // 2 for up to 5 processors, then half the processors, at most 4.
    static int maxConcurrentFor(int processorCount);

    // Newest first.
    const QList<CompressionItem*>& items() const { return list_->items(); }
    ItemListModel* itemList() const { return list_; }
    int ignoredCount() const { return ignoredCount_; }
    const std::optional<Uuid>& compareItemID() const { return compareItemID_; }
    void setCompareItemID(const std::optional<Uuid>& id);
    ObservablePresetStore& presets() const { return presets_; }
    const Toolchain& toolchain() const { return toolchain_; }
    int maxConcurrent() const { return maxConcurrent_; }
    // Jobs started and not yet returned, cancelled ones included.
    int runningCount() const { return running_; }
    // Why the outputs of the last batch may not be on disk: the failures of the engine's flush
    // once the list had nothing left to run, one per line; empty when that flush went well.
    const QString& flushFailure() const { return flushFailure_; }

    // Collects the files of what was dropped, counts the unsupported ones, puts one queued item
    // per file at the top (a file already listed leaves its old place and starts afresh) and
    // starts what the limit allows. Walks the folders on the calling thread: for callers that
    // hold a few paths and want the rows at once (tests, tools).
    void add(const std::vector<std::filesystem::path>& paths, Origin origin = Origin::dropped);
    // What the windows call for dropped or chosen URLs (only local files and folders count): the
    // same, with the walk on the collecting thread. Each dropped path's files arrive as they are
    // found, in batches of at most `collectBatch` rows (one rowsInserted range each), continuing the
    // drop's block of rows in the collector's order; its unsupported files are counted and its
    // unreadable folders announced as soon as that path is walked. collecting() holds until the
    // drop (and any dropped after it) is done; drops are walked one after another.
    void add(const QList<QUrl>& urls, Origin origin = Origin::dropped);
    static constexpr int collectBatch = 250;
    // Whether dropped URLs are still being walked, and how many files the current drop has
    // listed so far.
    bool collecting() const { return collectingDrops_ > 0; }
    int collectedCount() const { return collectedCount_; }
    // Re-queues every item with the current options, except those that replaced their source.
    void recompressAll();
    // A row's re-compress action: the item, stopped, is queued again with the current options.
    void recompress(CompressionItem* item);
    // Stops the item and takes it out of the list; the compare view lets go of it.
    void remove(CompressionItem* item);
    // Stops and removes every item, forgets the ignored count, and drops what is still being
    // collected (a folder under way is walked to its end, its files are not listed).
    void clear();

    // The names of the external encoders that were not found, cjpeg, pngquant, cwebp, cjxl.
    QStringList missingEncoders() const;
    Summary summary() const { return summarize(items()); }
    static Summary summarize(const QList<CompressionItem*>& items);
    // While listed items are queued or running; summaryChanged tells of every change but the
    // passing time. The estimate is made when an item finishes and counts down from then.
    std::optional<Progress> progress() const;
    // For tests: the clock the pace is measured by (the steady clock by default).
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // Captured from the window system by the main window, so that other parts can open windows.
    void setWindowOpener(std::function<void()> opener) { openWindow_ = std::move(opener); }
    void setSettingsOpener(std::function<void()> opener) { openSettings_ = std::move(opener); }

    // For quitting (run when the application is about to quit): no engine report reaches the
    // model any more, every job is cancelled, the collecting thread is joined (a folder under way
    // is walked to its end first) and the engine's threads are ended. Items keep their states.
    // Safe to call twice.
    void shutdown();

public slots:
    // Open the main window or the settings window, once their openers are set.
    void openWindow();
    void openSettings();

signals:
    void ignoredCountChanged();
    void compareItemIDChanged();
    // The summary's value changed.
    void summaryChanged();
    void flushFailureChanged();
    // collecting() or collectedCount() changed.
    void collectingChanged();
    // Dropped folders (or folders inside them) that could not be listed, one text each:
    // "/path/to/folder：无法读取这个文件夹（没有读取权限）". Their other files are listed as usual.
    // Emitted by both forms of add(), once per dropped path that met any.
    void foldersUnreadable(const QStringList& texts);

private:
    // What the collecting thread found for one dropped path, or part of it.
    struct Batch {
        quint64 drop = 0;  // the drop's number
        std::vector<std::filesystem::path> files;
        int ignored = 0;
        QStringList unreadable;
        bool last = false;  // the drop's walk is over
        // With a path's first batch: how many files the path brings in all, so that the lookup
        // tables grow once rather than rehash a long list in the middle of the batches.
        std::size_t coming = 0;
    };
    struct Drop {
        quint64 number = 0;
        std::vector<std::filesystem::path> paths;
        Origin origin = Origin::dropped;
    };
    // The work under way since the list last had nothing to do.
    struct Pace {
        std::chrono::steady_clock::time_point start;
        std::chrono::steady_clock::time_point lastFinish;
        int finished = 0;
    };
    void collectDrops(const std::stop_token& stop);
    // Posts the batch once the one before it was taken; false when the model is shutting down.
    bool post(const std::stop_token& stop, Batch batch);
    void receive(const Batch& batch);
    // Lists the files (see add()), at the top or continuing `run`; false when none was listed.
    void list(const std::vector<std::filesystem::path>& files, ItemListModel::Run* run);
    void announceUnreadable(const std::vector<FileCollector::Unreadable>& folders);
    void setCollected(int drops, int count);
    void pump();
    CompressionItem* nextQueued() const;
    void start(CompressionItem* item);
    // Counts a finished run into the pace.
    void paceFinished();
    void requeue(CompressionItem* item);
    void apply(const Uuid& id, int generation, const CompressionEvent& event);
    void finish(const Uuid& id, int generation, const CompressionResult& result);
    CompressionItem* item(const Uuid& id, int generation) const;
    // Stops the items and lets them go; they are deleted once control returns to the event loop.
    void release(const QList<CompressionItem*>& items);
    void setIgnoredCount(int count);
    void refreshSummary();
    // Ends the batch on a work-pool thread (Compressor::finishBatch); its outcome comes back as a
    // queued call.
    void finishBatch();
    void setFlushFailure(const QString& text);

    ObservablePresetStore& presets_;
    const Toolchain toolchain_;
    const int maxConcurrent_;
    const Entry entry_;
    ItemListModel* list_;
    std::unordered_map<Uuid, CompressionItem*> byID_;
    std::unordered_set<std::string> listedSources_;  // the items' sources (each listed once)
    std::shared_ptr<MainThreadLink> link_;
    int ignoredCount_ = 0;
    QString flushFailure_;
    std::optional<Uuid> compareItemID_;
    int running_ = 0;
    bool shutDown_ = false;
    Summary summary_;
    std::optional<Pace> pace_;
    Clock clock_ = &std::chrono::steady_clock::now;
    std::function<void()> openWindow_;
    std::function<void()> openSettings_;

    // Collecting. The queue is shared with the collecting thread under the lock; the rest is the
    // main thread's.
    std::mutex dropsLock_;
    std::condition_variable_any dropsWaiting_;
    std::deque<Drop> drops_;
    // A batch was posted and the main thread has not taken it yet: the collecting thread posts the
    // next one only then, so that input and painting get their turn between two batches.
    bool batchPosted_ = false;
    quint64 lastDrop_ = 0;     // the number of the latest drop
    quint64 clearedDrop_ = 0;  // drops up to this number were cleared: their files are not listed
    int collectingDrops_ = 0;
    int collectedCount_ = 0;
    ItemListModel::Run run_;  // the current drop's block of rows
    std::jthread collector_;  // started with the first drop of URLs; last, so that it goes first
};

}  // namespace dorvex::app
