#pragma once
// CallerLink: private to the video pass. The caller's progress and cancellation callbacks as the
// pass's threads see them, cut off when the pass returns, and the reporter that thins progress
// to whole percents.

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "dorvex/video/VideoEncoder.h"

namespace dorvex::VideoEncoder {

// Holds the caller's progress and cancellation callbacks for the pass's threads, and cuts them
// off when the pass returns: after detach() a late thread sees "cancelled" and reports nothing.
// The callbacks run without the link's lock (FFmpeg's interrupt callback asks for cancellation
// from inside blocking reads and writes while a pump may be reporting progress); a count of the
// calls under way lets detach() wait for them to end.
class CallerLink {
public:
    CallerLink(ProgressHandler progress, CancelQuery isCancelled)
        : progress_(std::move(progress)), isCancelled_(std::move(isCancelled)) {}
    CallerLink(const CallerLink&) = delete;
    CallerLink& operator=(const CallerLink&) = delete;

    bool cancelled() {
        return call([this] { return isCancelled_ && isCancelled_(); }).value_or(true);
    }
    void forward(double fraction) {
        call([this, fraction] {
            if (progress_) progress_(fraction);
            return true;
        });
    }
    // Waits for the callbacks under way, then lets go of both; no callback runs after this. Not
    // to be called from inside a callback.
    void detach() {
        ProgressHandler progress;
        CancelQuery isCancelled;
        {
            std::unique_lock guard(lock_);
            detached_ = true;
            idle_.wait(guard, [this] { return calls_ == 0; });
            progress.swap(progress_);
            isCancelled.swap(isCancelled_);
        }
        // The caller's callbacks are destroyed here, outside the lock.
    }

private:
    // Runs `callback` unless the link is detached (nullopt then), counted but without the lock.
    template <class Callback>
    std::optional<bool> call(const Callback& callback) {
        {
            std::lock_guard guard(lock_);
            if (detached_) return std::nullopt;
            ++calls_;
        }
        struct Leave {
            CallerLink& link;
            ~Leave() {
                std::lock_guard guard(link.lock_);
                if (--link.calls_ == 0) link.idle_.notify_all();
            }
        } leave{*this};
        return callback();
    }

    std::mutex lock_;
    std::condition_variable idle_;
    int calls_ = 0;
    bool detached_ = false;
    // Read without the lock by the counted calls; swapped out only by detach(), once none runs.
    ProgressHandler progress_;
    CancelQuery isCancelled_;
};

// Thins progress to whole percents: a fraction is forwarded only when its percent is larger than
// every one forwarded before.
class ProgressReporter {
public:
    explicit ProgressReporter(CallerLink& link) : link_(link) {}

    void report(double fraction) {
        const double clamped = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
        const int percent = int(clamped * 100);
        {
            std::lock_guard guard(lock_);
            if (percent <= lastPercent_) return;
            lastPercent_ = percent;
        }
        link_.forward(clamped);
    }

private:
    CallerLink& link_;
    std::mutex lock_;
    int lastPercent_ = -1;
};

}  // namespace dorvex::VideoEncoder
