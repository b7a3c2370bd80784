#pragma once
// PumpWatchdog: guards the waits of one encode pass. Each wait (a pump, the final write) is an
// Exit that ends exactly once — by the work finishing and claiming it, or by the watchdog when it
// stops the pass. A ticker thread asks a poll function on every tick whether the pass must stop
// (cancelled, failed) and declares a stall when no sample was appended for longer than the stall
// timeout while a stall-watched exit is still open. It trips at most once and never after end().
//
// Locks: the watchdog's lock is taken before an exit's lock, never the other way round; the poll
// function and the stop handler are always called without the watchdog's lock, and neither may
// end or destroy the watchdog. Its ticker is always joined.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "video/CallGate.h"

namespace dorvex {

class PumpWatchdog {
public:
    enum class Stop { cancelled, failed, stalled };
    enum class StallWatch { watched, unwatched };

    // One wait of the pass. Whoever ends it first claims it; only a successful claimer resumes it.
    class Exit {
    public:
        explicit Exit(StallWatch watch) : watch_(watch) {}
        Exit(const Exit&) = delete;
        Exit& operator=(const Exit&) = delete;

        bool isStallWatched() const { return watch_ == StallWatch::watched; }
        // True for the one caller that gets to end this wait.
        bool claim();
        bool isClaimed() const;
        // Ends the wait; call once, after a successful claim.
        void resume();
        // Blocks until the wait has been ended.
        void wait();

    private:
        friend class PumpWatchdog;
        StallWatch watch_;
        mutable std::mutex lock_;
        std::condition_variable resumed_;
        bool claimed_ = false;
        bool done_ = false;
    };

    using Poll = std::function<std::optional<Stop>()>;
    using StopHandler = std::function<void(Stop)>;
    using Body = std::function<void(const std::shared_ptr<Exit>&)>;

    // Starts ticking at once: first tick after `intervalSeconds`, then every `intervalSeconds`.
    PumpWatchdog(double stallTimeoutSeconds, double intervalSeconds, Poll poll, StopHandler onStop);
    // Ends the watchdog and waits for the ticker thread.
    ~PumpWatchdog();
    PumpWatchdog(const PumpWatchdog&) = delete;
    PumpWatchdog& operator=(const PumpWatchdog&) = delete;

    // Registers a wait and starts its work: `body` is called with the new exit while the
    // watchdog's lock is held, so no tick can stop the pass between the two; it must arrange for
    // the work to claim and resume the exit when it ends on its own. After a stop the body is not
    // called and the returned exit is already ended.
    std::shared_ptr<Exit> open(StallWatch watch, const Body& body);
    // open() and wait for the exit.
    void run(StallWatch watch, const Body& body) { open(watch, body)->wait(); }

    // A sample was appended: the stall clock starts again.
    void markSample();

    // No further stop: stops the ticker, waits for a poll or a stop handler under way, then drops
    // both. Open exits are left alone.
    void end();

    // Why the watchdog stopped the pass; nullopt while it has not.
    std::optional<Stop> stopped() const;

private:
    using Clock = std::chrono::steady_clock;

    void tickerLoop(Clock::duration interval);
    void tick();
    void trip(Stop stop);
    void stopTicker();

    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Exit>> exits_;
    std::optional<Stop> stopped_;
    bool ended_ = false;
    Clock::time_point lastSample_;
    Clock::duration stallTimeout_;
    CallGate calls_;  // the ticker's calls of the two below; closed by end()
    Poll poll_;
    StopHandler onStop_;

    std::mutex tickerLock_;
    std::condition_variable tickerWake_;
    bool tickerStopped_ = false;
    std::thread ticker_;
};

}  // namespace dorvex
