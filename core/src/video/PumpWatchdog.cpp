#include "video/PumpWatchdog.h"

#include <cmath>

namespace dorvex {

bool PumpWatchdog::Exit::claim() {
    std::lock_guard guard(lock_);
    if (claimed_) return false;
    claimed_ = true;
    return true;
}

bool PumpWatchdog::Exit::isClaimed() const {
    std::lock_guard guard(lock_);
    return claimed_;
}

void PumpWatchdog::Exit::resume() {
    {
        std::lock_guard guard(lock_);
        done_ = true;
    }
    resumed_.notify_all();
}

void PumpWatchdog::Exit::wait() {
    std::unique_lock guard(lock_);
    resumed_.wait(guard, [this] { return done_; });
}

namespace {

// Seconds as a clock duration; negative or not-a-number counts as 0, huge values saturate.
std::chrono::steady_clock::duration durationOf(double seconds) {
    if (!(seconds > 0)) return std::chrono::steady_clock::duration::zero();
    const double nanoseconds = std::fmin(seconds * 1e9, 9e18);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::nanoseconds(std::int64_t(nanoseconds)));
}

}  // namespace

PumpWatchdog::PumpWatchdog(double stallTimeoutSeconds, double intervalSeconds, Poll poll, StopHandler onStop)
    : lastSample_(Clock::now()),
      stallTimeout_(durationOf(stallTimeoutSeconds)),
      poll_(std::move(poll)),
      onStop_(std::move(onStop)) {
    // A tick needs some interval; a millisecond is the least that makes sense.
    const auto interval = std::max<Clock::duration>(durationOf(intervalSeconds), std::chrono::milliseconds(1));
    ticker_ = std::thread([this, interval] { tickerLoop(interval); });
}

PumpWatchdog::~PumpWatchdog() {
    end();
    // The ticker holds nothing that could own the watchdog (the poll function and the stop handler
    // stay members and are let go by end()), so the last owner is never the ticker itself.
    if (ticker_.joinable()) ticker_.join();
}

void PumpWatchdog::tickerLoop(Clock::duration interval) {
    auto deadline = Clock::now() + interval;
    std::unique_lock guard(tickerLock_);
    while (!tickerStopped_) {
        if (tickerWake_.wait_until(guard, deadline, [this] { return tickerStopped_; })) break;
        guard.unlock();
        tick();
        guard.lock();
        // Ticks that fell behind are merged into one, as a timer would.
        deadline = std::max(deadline + interval, Clock::now());
    }
}

void PumpWatchdog::tick() {
    std::optional<Stop> polled;
    {
        const CallGate::Entry entry = calls_.enter();
        if (!entry) return;  // ended
        if (poll_) polled = poll_();
    }
    if (polled) {
        trip(*polled);
        return;
    }

    bool watchedOpen = false;
    Clock::duration elapsed;
    {
        std::lock_guard guard(lock_);
        elapsed = Clock::now() - lastSample_;
        for (const auto& exit : exits_) {
            if (exit->isStallWatched() && !exit->isClaimed()) {
                watchedOpen = true;
                break;
            }
        }
    }
    if (watchedOpen && elapsed > stallTimeout_) trip(Stop::stalled);
}

void PumpWatchdog::trip(Stop stop) {
    const CallGate::Entry entry = calls_.enter();
    if (!entry) return;  // ended
    std::vector<std::shared_ptr<Exit>> exits;
    {
        std::lock_guard guard(lock_);
        if (stopped_ || ended_) return;
        stopped_ = stop;
        exits.swap(exits_);
    }
    stopTicker();
    for (const auto& exit : exits) {
        if (exit->claim()) exit->resume();
    }
    if (onStop_) onStop_(stop);
}

void PumpWatchdog::stopTicker() {
    {
        std::lock_guard guard(tickerLock_);
        tickerStopped_ = true;
    }
    tickerWake_.notify_all();
}

std::shared_ptr<PumpWatchdog::Exit> PumpWatchdog::open(StallWatch watch, const Body& body) {
    auto exit = std::make_shared<Exit>(watch);
    std::lock_guard guard(lock_);
    if (stopped_) {
        exit->claim();
        exit->resume();
        return exit;
    }
    exits_.push_back(exit);
    body(exit);
    return exit;
}

void PumpWatchdog::markSample() {
    std::lock_guard guard(lock_);
    lastSample_ = Clock::now();
}

void PumpWatchdog::end() {
    {
        std::lock_guard guard(lock_);
        ended_ = true;
    }
    stopTicker();
    calls_.close();  // waits for a poll or a stop handler under way
    poll_ = nullptr;
    onStop_ = nullptr;
}

std::optional<PumpWatchdog::Stop> PumpWatchdog::stopped() const {
    std::lock_guard guard(lock_);
    return stopped_;
}

}  // namespace dorvex
