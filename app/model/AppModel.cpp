#include "model/AppModel.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <iterator>
#include <string>
#include <system_error>
#include <unordered_set>

#include "dorvex/model/Cancellation.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/platform/WorkPool.h"
#include "dorvex/text/RunProgress.h"
#include "model/MainThreadLink.h"
#include "model/UiText.h"

namespace dorvex::app {

namespace fs = std::filesystem;

AppModel::AppModel(ObservablePresetStore& presets, Toolchain toolchain, int processorCount, Entry entry,
                   QObject* parent)
    : QObject(parent),
      presets_(presets),
      toolchain_(std::move(toolchain)),
      maxConcurrent_(maxConcurrentFor(processorCount)),
      entry_(std::move(entry)),
      list_(new ItemListModel(this)),
      link_(std::make_shared<MainThreadLink>(this)) {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        connect(application, &QCoreApplication::aboutToQuit, this, &AppModel::shutdown);
    }
}

AppModel::~AppModel() { shutdown(); }

int AppModel::maxConcurrentFor(int processorCount) {
    return processorCount > 3 ? std::min(processorCount / 2, 4) : 2;
}

void AppModel::setCompareItemID(const std::optional<Uuid>& id) {
    if (compareItemID_ == id) return;
    compareItemID_ = id;
    emit compareItemIDChanged();
}

namespace {

QStringList unreadableTexts(const std::vector<FileCollector::Unreadable>& folders) {
    QStringList texts;
    for (const FileCollector::Unreadable& folder : folders) {
        // The folder, then why it could not be read.
        texts.append(ui("%1：%2").arg(QString::fromStdString(folder.folder.string()), QString::fromStdString(folder.reason)));
    }
    return texts;
}

// The collector's result for the paths; chosen files that are earlier outputs are passed over.
FileCollector::Result collect(const std::vector<fs::path>& paths, AppModel::Origin origin) {
    if (origin == AppModel::Origin::dropped) return FileCollector::collect(paths);
    std::vector<fs::path> taken, outputs;
    for (const fs::path& path : paths) (OutputPlanner::isOptimized(path) ? outputs : taken).push_back(path);
    FileCollector::Result found = FileCollector::collect(taken);
    found.ignored += int(outputs.size());
    found.passedOver.insert(found.passedOver.end(), outputs.begin(), outputs.end());
    return found;
}

}  // namespace

void AppModel::add(const std::vector<fs::path>& paths, Origin origin) {
    const FileCollector::Result found = collect(paths, origin);
    setIgnoredCount(ignoredCount_ + found.ignored);
    if (!found.unreadable.empty()) emit foldersUnreadable(unreadableTexts(found.unreadable));
    list(found.files, nullptr);
}

void AppModel::list(const std::vector<fs::path>& files, ItemListModel::Run* run) {
    if (files.empty()) return;

    // The list is only scanned when a file is listed already, so that a folder's batches cost
    // what they bring, however long the list has grown.
    if (std::any_of(files.begin(), files.end(), [this](const fs::path& file) { return listedSources_.contains(file.native()); })) {
        std::unordered_set<std::string> sources;
        for (const fs::path& file : files) sources.insert(file.native());
        release(list_->takeIf([&](const CompressionItem* item) { return sources.contains(item->source().native()); }));
    }

    QList<CompressionItem*> added;
    added.reserve(qsizetype(files.size()));
    const CompressionOptions options = presets_.jobOptions();  // the settings are read once per batch
    for (const fs::path& file : files) {
        auto* item = new CompressionItem(file, options, this);
        byID_.emplace(item->id(), item);
        listedSources_.insert(file.native());
        added.append(item);
    }
    if (run) {
        list_->continueRun(*run, added);
    } else {
        list_->insertAtTop(added);
    }
    pump();
    refreshSummary();
}

void AppModel::add(const QList<QUrl>& urls, Origin origin) {
    std::vector<fs::path> paths;
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) paths.emplace_back(QFile::encodeName(url.toLocalFile()).toStdString());
    }
    if (paths.empty() || shutDown_) return;
    try {
        if (!collector_.joinable()) collector_ = std::jthread([this](const std::stop_token& stop) { collectDrops(stop); });
    } catch (const std::system_error&) {
        // No thread to walk on: the walk happens here rather than not at all.
        add(paths, origin);
        return;
    }
    {
        std::lock_guard guard(dropsLock_);
        drops_.push_back(Drop{++lastDrop_, std::move(paths), origin});
    }
    dropsWaiting_.notify_all();
    setCollected(collectingDrops_ + 1, collectedCount_);
}

void AppModel::collectDrops(const std::stop_token& stop) {
    // The collecting thread touches only the drop queue and the link; what it finds goes to the
    // main thread as queued calls.
    for (;;) {
        Drop drop;
        {
            std::unique_lock guard(dropsLock_);
            if (!dropsWaiting_.wait(guard, stop, [this] { return !drops_.empty(); })) return;
            drop = std::move(drops_.front());
            drops_.pop_front();
        }
        // Dropped paths are walked one by one, so that each one's files show as soon as it is
        // done; what an earlier path of the same drop brought is not listed twice.
        std::unordered_set<std::string> seen;
        for (const fs::path& path : drop.paths) {
            if (stop.stop_requested()) return;
            FileCollector::Result found = collect({path}, drop.origin);
            std::erase_if(found.files, [&seen](const fs::path& file) { return !seen.insert(file.native()).second; });
            Batch batch{drop.number, {}, found.ignored, unreadableTexts(found.unreadable), false, found.files.size()};
            for (std::size_t from = 0; from < found.files.size() || batch.ignored > 0 || !batch.unreadable.isEmpty();) {
                const std::size_t to = std::min(found.files.size(), from + std::size_t(collectBatch));
                batch.files.assign(std::make_move_iterator(found.files.begin() + std::ptrdiff_t(from)),
                                   std::make_move_iterator(found.files.begin() + std::ptrdiff_t(to)));
                if (!post(stop, batch)) return;
                batch.ignored = 0;
                batch.unreadable.clear();
                batch.coming = 0;
                from = to;
            }
        }
        if (!post(stop, Batch{drop.number, {}, 0, {}, true})) return;
    }
}

bool AppModel::post(const std::stop_token& stop, Batch batch) {
    std::unique_lock guard(dropsLock_);
    if (!dropsWaiting_.wait(guard, stop, [this] { return !batchPosted_; })) return false;
    batchPosted_ = true;
    link_->post([this, batch = std::move(batch)] { receive(batch); });
    return true;
}

void AppModel::receive(const Batch& batch) {
    {
        std::lock_guard guard(dropsLock_);
        batchPosted_ = false;
    }
    dropsWaiting_.notify_all();
    if (batch.last) {
        run_ = {};
        setCollected(collectingDrops_ - 1, 0);
        return;
    }
    if (shutDown_ || batch.drop <= clearedDrop_) return;
    setIgnoredCount(ignoredCount_ + batch.ignored);
    if (!batch.unreadable.isEmpty()) emit foldersUnreadable(batch.unreadable);
    if (batch.coming > 0) {
        byID_.reserve(byID_.size() + batch.coming);
        listedSources_.reserve(listedSources_.size() + batch.coming);
    }
    list(batch.files, &run_);
    setCollected(collectingDrops_, collectedCount_ + int(batch.files.size()));
}

void AppModel::setCollected(int drops, int count) {
    if (drops == collectingDrops_ && count == collectedCount_) return;
    collectingDrops_ = drops;
    collectedCount_ = count;
    emit collectingChanged();
}

void AppModel::recompressAll() {
    for (CompressionItem* item : items()) {
        if (item->canRecompress()) requeue(item);
    }
    pump();
    refreshSummary();
}

void AppModel::recompress(CompressionItem* item) {
    if (!byID_.contains(item->id()) || !item->canRecompress()) return;
    requeue(item);
    pump();
    refreshSummary();
}

void AppModel::requeue(CompressionItem* item) {
    item->stop();
    item->setOptions(presets_.jobOptions());
    item->setState(CompressionItem::Queued{});
}

void AppModel::remove(CompressionItem* item) {
    const Uuid id = item->id();
    if (!byID_.contains(id)) return;
    release(list_->takeIf([item](const CompressionItem* candidate) { return candidate == item; }));
    if (compareItemID_ == id) setCompareItemID(std::nullopt);
    refreshSummary();
}

void AppModel::clear() {
    std::size_t waiting = 0;
    {
        std::lock_guard guard(dropsLock_);
        waiting = drops_.size();
        drops_.clear();
    }
    clearedDrop_ = lastDrop_;
    setCollected(collectingDrops_ - int(waiting), collectedCount_);
    release(list_->takeIf([](const CompressionItem*) { return true; }));
    setIgnoredCount(0);
    setCompareItemID(std::nullopt);
    refreshSummary();
}

void AppModel::release(const QList<CompressionItem*>& items) {
    for (CompressionItem* item : items) {
        item->stop();
        byID_.erase(item->id());
        listedSources_.erase(item->source().native());
        item->deleteLater();
    }
}

QStringList AppModel::missingEncoders() const {
    QStringList names;
    for (const std::string& name : toolchain_.missingEncoders()) names.append(QString::fromStdString(name));
    return names;
}

AppModel::Summary AppModel::summarize(const QList<CompressionItem*>& items) {
    Summary summary;
    summary.count = int(items.size());
    for (const CompressionItem* item : items) {
        if (item->isVideo() || item->isPDF()) summary.allPictures = false;
        const CompressionResult* result = item->result();
        if (!result) continue;
        ++summary.finishedCount;
        if (result->failed() && !isCancellation(result->failed()->message)) ++summary.failedCount;
        if (!result->isSuccess()) continue;
        summary.savedBytes += result->sourceBytes - result->outputBytes;
        summary.sourceBytes += result->sourceBytes;
    }
    return summary;
}

void AppModel::openWindow() {
    if (openWindow_) openWindow_();
}

void AppModel::openSettings() {
    if (openSettings_) openSettings_();
}

void AppModel::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    link_->close();
    if (collector_.joinable()) {
        collector_.request_stop();
        collector_.join();
    }
    for (CompressionItem* item : items()) item->stop();
    // The engine flushes what the last jobs wrote; at quit, only the log can still tell of a failure.
    for (const std::string& failure : Compressor::shutdown().flushFailures) qWarning("%s", failure.c_str());
}

// ---- the queue ------------------------------------------------------------------------------

void AppModel::pump() {
    while (!shutDown_ && running_ < maxConcurrent_) {
        CompressionItem* next = nextQueued();
        if (!next) return;
        start(next);
    }
}

CompressionItem* AppModel::nextQueued() const {
    // Drops run in the order they came, so that a new drop does not hold back one under way; each
    // from its top row down, in the order its files were found. A drop lands at the top of the
    // list, where the user is looking, so its first rows are the ones that start. (Scrolling the
    // list after the running rows instead would pull it away from whoever is reading it.)
    const auto isQueued = [](const CompressionItem* item) { return item->isQueued(); };
    const auto& all = items();
    const auto oldest = std::find_if(all.rbegin(), all.rend(), isQueued);
    if (oldest == all.rend()) return nullptr;
    const auto bottom = oldest.base();  // just below the oldest drop's lowest queued row
    return *std::find_if(all.begin() + list_->runTop(int(bottom - all.begin()) - 1), bottom, isQueued);
}

void AppModel::start(CompressionItem* item) {
    ++running_;
    const int generation = item->begin();
    const Uuid id = item->id();
    // The engine calls these on its own threads; each report hops to the main thread on its own.
    EventHandler onEvent = [this, link = link_, id, generation](const CompressionEvent& event) {
        link->post([this, id, generation, event] { apply(id, generation, event); });
    };
    Compressor::CompletionHandler onFinished = [this, link = link_, id, generation](const CompressionResult& result) {
        link->post([this, id, generation, result] { finish(id, generation, result); });
    };
    try {
        item->setJob(entry_(item->source(), item->options(), toolchain_, std::move(onEvent), std::move(onFinished)));
    } catch (const std::exception& error) {
        // No thread could be started for the job: it ends here, with the reason.
        --running_;
        CompressionResult failed;
        failed.status = CompressionResult::Failed{error.what()};
        item->setState(CompressionItem::Finished{failed});
        paceFinished();
    }
}

CompressionItem* AppModel::item(const Uuid& id, int generation) const {
    const auto found = byID_.find(id);
    if (found == byID_.end() || found->second->generation() != generation) return nullptr;
    return found->second;
}

void AppModel::apply(const Uuid& id, int generation, const CompressionEvent& event) {
    CompressionItem* target = item(id, generation);
    if (!target || !target->running()) return;
    std::visit(
        [target](const auto& report) {
            using Report = std::decay_t<decltype(report)>;
            if constexpr (std::is_same_v<Report, CompressionEvent::Started>) {
                target->setSourcePixelSize(report.sourcePixelSize);
            } else if constexpr (std::is_same_v<Report, CompressionEvent::Attempt>) {
                target->setState(CompressionItem::Running{report.index + 1, report.quality, std::nullopt});
            } else if constexpr (std::is_same_v<Report, CompressionEvent::Progress>) {
                target->setState(CompressionItem::Running{report.index + 1, std::nullopt, report.fraction});
            }
            // A video pass's own report changes nothing: its progress has already been shown.
        },
        event.value);
}

void AppModel::finish(const Uuid& id, int generation, const CompressionResult& result) {
    --running_;
    if (CompressionItem* target = item(id, generation)) {
        target->setJob(std::nullopt);
        target->setState(CompressionItem::Finished{result});
        paceFinished();
        refreshSummary();
    }
    pump();
    if (running_ == 0) finishBatch();
}

void AppModel::finishBatch() {
    // New outputs are not flushed one by one; once the list has nothing left to run, the engine
    // flushes their filesystems, on a worker (a flush may wait for the disk for a while).
    try {
        WorkPool::submit([this, link = link_] {
            const std::vector<std::string> failures = Compressor::finishBatch();
            QStringList lines;
            for (const std::string& failure : failures) {
                qWarning("%s", failure.c_str());
                lines.append(QString::fromStdString(failure));
            }
            link->post([this, text = lines.join(u'\n')] { setFlushFailure(text); });
        });
    } catch (const std::exception& error) {
        setFlushFailure(QString::fromUtf8(error.what()));
    }
}

void AppModel::setFlushFailure(const QString& text) {
    if (flushFailure_ == text) return;
    flushFailure_ = text;
    emit flushFailureChanged();
}

void AppModel::setIgnoredCount(int count) {
    if (ignoredCount_ == count) return;
    ignoredCount_ = count;
    emit ignoredCountChanged();
}

void AppModel::refreshSummary() {
    const Summary now = summary();
    if (now.finishedCount == now.count) {
        pace_.reset();
    } else if (!pace_) {
        const auto time = clock_();
        pace_ = Pace{time, time, 0};
    }
    if (now == summary_) return;
    summary_ = now;
    emit summaryChanged();
}

void AppModel::paceFinished() {
    if (!pace_) return;
    ++pace_->finished;
    pace_->lastFinish = clock_();
}

std::optional<AppModel::Progress> AppModel::progress() const {
    if (!pace_) return std::nullopt;
    using Seconds = std::chrono::duration<double>;
    Progress progress{pace_->finished, pace_->finished + summary_.count - summary_.finishedCount, std::nullopt};
    progress.secondsLeft =
        RunProgress::secondsLeft(Seconds(pace_->lastFinish - pace_->start).count(), progress.finished, progress.total);
    if (progress.secondsLeft) {
        progress.secondsLeft = std::max(0.0, *progress.secondsLeft - Seconds(clock_() - pace_->lastFinish).count());
    }
    return progress;
}

}  // namespace dorvex::app
