#pragma once
// AppModel: the application's one model. It turns dropped files into CompressionItems (newest
// first), runs the engine on a few of them at a time (the oldest queued first), applies the
// engine's reports on the main thread, and answers the windows' summary questions. It owns the
// list model the views show, and uses the preset store's current options for every new or
// re-queued item.
//
// Threads: everything here runs on the main thread. The engine reports from its own threads; each
// report comes back as one queued call, carrying the item's identifier and the generation of the
// run that made it, and is dropped when the item is gone, was started again or stopped since, or
// is no longer running.

#include <QObject>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "dorvex/engine/Compressor.h"
#include "dorvex/image/Toolchain.h"
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
    // starts what the limit allows.
    void add(const std::vector<std::filesystem::path>& paths);
    // The same for dropped URLs; only local files and folders count.
    void add(const QList<QUrl>& urls);
    // Re-queues every item with the current options, except those that replaced their source.
    void recompressAll();
    // A row's re-compress action: the item, stopped, is queued again with the current options.
    void recompress(CompressionItem* item);
    // Stops the item and takes it out of the list; the compare view lets go of it.
    void remove(CompressionItem* item);
    // Stops and removes every item, and forgets the ignored count.
    void clear();

    // The names of the external encoders that were not found, cjpeg, pngquant, cwebp, cjxl.
    QStringList missingEncoders() const;
    Summary summary() const { return summarize(items()); }
    static Summary summarize(const QList<CompressionItem*>& items);

    // Captured from the window system by the main window, so that other parts can open windows.
    void setWindowOpener(std::function<void()> opener) { openWindow_ = std::move(opener); }
    void setSettingsOpener(std::function<void()> opener) { openSettings_ = std::move(opener); }

    // For quitting (run when the application is about to quit): no engine report reaches the
    // model any more, every job is cancelled, and the engine's threads are ended. Items keep their
    // states. Safe to call twice.
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

private:
    void pump();
    void start(CompressionItem* item);
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
    std::shared_ptr<MainThreadLink> link_;
    int ignoredCount_ = 0;
    QString flushFailure_;
    std::optional<Uuid> compareItemID_;
    int running_ = 0;
    bool shutDown_ = false;
    Summary summary_;
    std::function<void()> openWindow_;
    std::function<void()> openSettings_;
};

}  // namespace dorvex::app
