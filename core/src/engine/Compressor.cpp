// The engine's single entry: classification by file name, dispatch off the caller's thread to a
// worker process, the record of running jobs that shutdown() cancels and waits for, and the end
// of a batch.

#include "dorvex/engine/Compressor.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

#include "dorvex/image/FailureText.h"
#include "dorvex/model/SourceFile.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/platform/WorkPool.h"
#include "engine/worker/WorkerPool.h"
#include "platform/OwnedThreads.h"

namespace dorvex::Compressor {

struct Job::State {
    mutable std::mutex lock;  // held only for one read or write of `cancelled`
    bool cancelled = false;
    std::promise<CompressionResult> promise;
    std::shared_future<CompressionResult> result = promise.get_future().share();

    void cancel() {
        std::lock_guard guard(lock);
        cancelled = true;
    }

    bool isCancelled() const {
        std::lock_guard guard(lock);
        return cancelled;
    }
};

Job::Job(std::shared_ptr<State> state) : state_(std::move(state)) {}

void Job::cancel() const { state_->cancel(); }

bool Job::isCancelled() const { return state_->isCancelled(); }

const std::shared_future<CompressionResult>& Job::result() const { return state_->result; }

namespace {

// Every job from compress() until its thread is done with it, and the threads of video jobs
// until they are joined. One lock; no other lock is taken while it is held except a job's own
// flag (cancelling).
class Registry {
public:
    struct Entry {
        std::shared_ptr<Job::State> state;
        std::thread thread;  // a video job's own thread; none for work-pool jobs
        bool ended = false;  // the job has returned from its last call of ours
    };
    using Handle = std::list<Entry>::iterator;

    // Records a new job; a job that arrives while a shutdown runs is cancelled before it starts.
    Handle add(const std::shared_ptr<Job::State>& state) {
        std::lock_guard guard(lock_);
        OwnedThreads::joinEnded(entries_);
        if (closing_ > 0) state->cancel();
        entries_.push_back(Entry{state, {}, false});
        return std::prev(entries_.end());
    }

    // Starts `work` on a thread of its own, owned by the entry. Throws std::system_error.
    void startThread(Handle entry, std::function<void()> work) {
        std::lock_guard guard(lock_);
        entry->thread = std::thread(std::move(work));
    }

    // Called by a job as the last thing it does. A work-pool job is forgotten at once; a video
    // job's entry stays until its thread is joined.
    void finished(Handle entry) {
        {
            std::lock_guard guard(lock_);
            if (entry->thread.joinable()) {
                entry->ended = true;
            } else {
                entries_.erase(entry);
            }
        }
        changed_.notify_all();
    }

    // Cancels every job, waits (until `deadline`) for the video jobs to finish and joins their
    // threads. Returns true when no video thread is left.
    bool cancelAllAndJoinVideos(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock guard(lock_);
        for (Entry& entry : entries_) entry.state->cancel();
        changed_.wait_until(guard, deadline, [this] {
            return std::none_of(entries_.begin(), entries_.end(),
                                [](const Entry& entry) { return entry.thread.joinable() && !entry.ended; });
        });
        OwnedThreads::joinEnded(entries_);
        return std::none_of(entries_.begin(), entries_.end(),
                            [](const Entry& entry) { return entry.thread.joinable(); });
    }

    void beginClosing() {
        std::lock_guard guard(lock_);
        ++closing_;
    }

    void endClosing() {
        std::lock_guard guard(lock_);
        --closing_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::list<Entry> entries_;
    int closing_ = 0;  // shutdowns under way
};

Registry& registry() {
    // Never destroyed: a video thread still running at process exit may yet report to it.
    static Registry* const shared = new Registry;
    return *shared;
}

CompressionResult failedResult(CompressionResult::Failed failure) {
    CompressionResult result;
    result.status = std::move(failure);
    return result;
}

// Runs the caller's completion handler; its failure must not keep the job from ending.
void deliver(const CompletionHandler& onFinished, const CompressionResult& result) {
    try {
        if (onFinished) onFinished(result);
    } catch (...) {
    }
}

}  // namespace

Job compress(const std::filesystem::path& source, const CompressionOptions& options, const Toolchain& toolchain,
             EventHandler onEvent, CompletionHandler onFinished) {
    auto state = std::make_shared<Job::State>();
    const OutputFormat kind = OutputFormat::original(FileType::fromPath(source));
    const Registry::Handle entry = registry().add(state);

    // Runs on the job's own thread: the pipeline, then the result, exactly once.
    auto work = [state, entry, source, options, toolchain, kind, onEvent = std::move(onEvent), onFinished] {
        const auto isCancelled = [state] { return state->isCancelled(); };
        CompressionResult result;
        try {
            if (kind.isVideo()) ::pthread_setname_np(::pthread_self(), "dorvex-video");
            if (const auto problem = SourceFile::readProblem(source)) {
                result = failedResult(FailureText::unopenable(source, *problem));
            } else {
                // The file is read in a worker process; its output is placed from here, against
                // the identity the source has now, before anything reads it.
                const auto sourceAsRead = OutputPlanner::SourceIdentity::of(source);
                const auto job = kind.isVideo() ? WorkerProtocol::JobKind::video
                                 : kind.isPDF() ? WorkerProtocol::JobKind::pdf
                                                : WorkerProtocol::JobKind::image;
                result = WorkerPool::run(job, source, options, toolchain, onEvent, isCancelled,
                                         OutputPlanner::placing(source, options.saveLocation, options.filenamePrefix,
                                                                sourceAsRead));
            }
        } catch (...) {
            result = failedResult(FailureText::current(source));
        }
        state->promise.set_value(result);
        deliver(onFinished, result);
        registry().finished(entry);
    };

    try {
        if (kind.isVideo()) {
            registry().startThread(entry, std::move(work));
        } else {
            WorkPool::submit(std::move(work));
        }
    } catch (...) {
        // No thread to run the job on: it fails here, on the caller's thread.
        const CompressionResult result = failedResult(FailureText::current(source));
        state->promise.set_value(result);
        deliver(onFinished, result);
        registry().finished(entry);
    }
    return Job(state);
}

std::vector<std::string> finishBatch() { return OutputPlanner::flushOutputs(); }

ShutdownOutcome shutdown(std::chrono::milliseconds timeLimit) {
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    Registry& jobs = registry();
    jobs.beginClosing();
    const bool videosJoined = jobs.cancelAllAndJoinVideos(deadline);
    // The pool's queued jobs are cancelled too: each runs, sees it, and ends at once.
    const bool workersJoined = WorkPool::stop(deadline);
    WorkerPool::stop();
    jobs.endClosing();
    return ShutdownOutcome{videosJoined && workersJoined, finishBatch()};
}

}  // namespace dorvex::Compressor
