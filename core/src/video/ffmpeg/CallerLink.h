#pragma once
// CallerLink: private to the video pass. The caller's progress and cancellation callbacks as the
// pass's threads see them, cut off when the pass returns, and the reporter that thins progress
// to whole percents.

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

#include "video/CallGate.h"
#include "video/VideoEncoder.h"

namespace dorvex::VideoEncoder {

// Holds the caller's progress and cancellation callbacks for the pass's threads, and cuts them
// off when the pass returns: after detach() a late thread sees "cancelled" and reports nothing.
// The callbacks run without a lock (FFmpeg's interrupt callback asks for cancellation from inside
// blocking reads and writes while a pump may be reporting progress); detach() waits for the calls
// under way.
class CallerLink {
public:
    CallerLink(ProgressHandler progress, CancelQuery isCancelled)
        : progress_(std::move(progress)), isCancelled_(std::move(isCancelled)) {}
    CallerLink(const CallerLink&) = delete;
    CallerLink& operator=(const CallerLink&) = delete;

    bool cancelled() {
        const CallGate::Entry entry = gate_.enter();
        return !entry || (isCancelled_ && isCancelled_());
    }
    void forward(double fraction) {
        const CallGate::Entry entry = gate_.enter();
        if (entry && progress_) progress_(fraction);
    }
    // No callback runs after this; not to be called from inside one.
    void detach() {
        gate_.close();
        progress_ = nullptr;
        isCancelled_ = nullptr;
    }

private:
    CallGate gate_;
    ProgressHandler progress_;  // read only through the gate; let go once it is closed
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
