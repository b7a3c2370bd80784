// The watchdog's rules with short timeouts: stalls only while a watched wait is open, stops from
// the poll function, one trip at most, nothing after end(), every wait ended exactly once.

#include "video/PumpWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace dorvex {
namespace {

using namespace std::chrono_literals;
using Stop = PumpWatchdog::Stop;
using Watch = PumpWatchdog::StallWatch;
using ExitPtr = std::shared_ptr<PumpWatchdog::Exit>;

// Records the stops handed to the stop handler.
struct Stops {
    std::atomic<int> count{0};
    std::atomic<int> last{-1};
    PumpWatchdog::StopHandler handler() {
        return [this](Stop stop) {
            last = int(stop);
            ++count;
        };
    }
};

void finish(const ExitPtr& exit) {
    if (exit->claim()) exit->resume();
}

TEST(PumpWatchdogTest, AWaitThatNeverSeesASampleStalls) {
    Stops stops;
    {
        PumpWatchdog watchdog(0.05, 0.01, nullptr, stops.handler());
        bool bodyRan = false;
        watchdog.run(Watch::watched, [&](const ExitPtr&) { bodyRan = true; });  // the work never ends by itself
        EXPECT_TRUE(bodyRan);
        EXPECT_EQ(watchdog.stopped(), Stop::stalled);
    }  // the stop handler runs after the waits are released; the ticker is joined here
    EXPECT_EQ(stops.count, 1);
    EXPECT_EQ(stops.last, int(Stop::stalled));
}

TEST(PumpWatchdogTest, SamplesOfTheOpenPumpKeepItQuietUntilTheyStop) {
    Stops stops;
    auto watchdogOwner = std::make_unique<PumpWatchdog>(0.3, 0.01, nullptr, stops.handler());
    PumpWatchdog& watchdog = *watchdogOwner;
    const ExitPtr finished = watchdog.open(Watch::watched, [](const ExitPtr& exit) { finish(exit); });
    finished->wait();

    std::atomic<bool> sampling{true};
    std::thread pump;
    const ExitPtr open = watchdog.open(Watch::watched, [&](const ExitPtr&) {
        pump = std::thread([&] {
            while (sampling) {
                watchdog.markSample();
                std::this_thread::sleep_for(5ms);
            }
        });
    });
    std::this_thread::sleep_for(1s);  // more than three stall timeouts of samples
    EXPECT_EQ(watchdog.stopped(), std::nullopt);
    sampling = false;
    pump.join();

    open->wait();  // ends by the stall
    EXPECT_EQ(watchdog.stopped(), Stop::stalled);
    watchdogOwner.reset();
    EXPECT_EQ(stops.count, 1);
}

TEST(PumpWatchdogTest, AnUnwatchedWaitNeverStalls) {
    Stops stops;
    PumpWatchdog watchdog(0, 0.005, nullptr, stops.handler());
    const ExitPtr writing = watchdog.open(Watch::unwatched, [](const ExitPtr&) {});
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(watchdog.stopped(), std::nullopt);
    finish(writing);
    writing->wait();
    EXPECT_EQ(stops.count, 0);
}

TEST(PumpWatchdogTest, AStopFromThePollReleasesEveryOpenWaitAndTellsOnce) {
    for (const Stop stop : {Stop::cancelled, Stop::failed}) {
        Stops stops;
        std::atomic<bool> raised{false};
        std::atomic<int> pollsAfterStop{0};
        auto watchdogOwner = std::make_unique<PumpWatchdog>(
            60, 0.01,
            [&]() -> std::optional<Stop> {
                if (!raised) return std::nullopt;
                ++pollsAfterStop;
                return stop;  // keeps saying so: a second trip must change nothing
            },
            stops.handler());
        PumpWatchdog& watchdog = *watchdogOwner;
        std::vector<ExitPtr> exits;
        exits.push_back(watchdog.open(Watch::watched, [](const ExitPtr&) {}));
        exits.push_back(watchdog.open(Watch::watched, [](const ExitPtr&) {}));
        exits.push_back(watchdog.open(Watch::unwatched, [](const ExitPtr&) {}));
        raised = true;
        for (const ExitPtr& exit : exits) exit->wait();
        std::this_thread::sleep_for(50ms);  // room for more ticks, which must not come
        EXPECT_EQ(watchdog.stopped(), stop);
        watchdogOwner.reset();
        EXPECT_EQ(stops.count, 1);
        EXPECT_EQ(stops.last, int(stop));
        EXPECT_EQ(pollsAfterStop, 1);
        for (const ExitPtr& exit : exits) EXPECT_FALSE(exit->claim()) << "an exit was left unclaimed";
    }
}

TEST(PumpWatchdogTest, AfterAStopRunReturnsAtOnceWithoutItsBody) {
    PumpWatchdog watchdog(0, 0.005, nullptr, nullptr);
    watchdog.run(Watch::watched, [](const ExitPtr&) {});
    ASSERT_EQ(watchdog.stopped(), Stop::stalled);
    bool bodyRan = false;
    watchdog.run(Watch::watched, [&](const ExitPtr&) { bodyRan = true; });
    EXPECT_FALSE(bodyRan);
}

TEST(PumpWatchdogTest, AfterEndNothingTrips) {
    Stops stops;
    std::atomic<int> polls{0};
    PumpWatchdog watchdog(
        0, 0.005,
        [&]() -> std::optional<Stop> {
            ++polls;
            return std::nullopt;
        },
        stops.handler());
    watchdog.end();
    const int pollsAtEnd = polls;
    const ExitPtr open = watchdog.open(Watch::watched, [](const ExitPtr&) {});
    std::this_thread::sleep_for(60ms);  // many intervals past the (zero) stall timeout
    EXPECT_EQ(watchdog.stopped(), std::nullopt);
    EXPECT_EQ(stops.count, 0);
    EXPECT_LE(polls - pollsAtEnd, 1);  // at most a tick already under way
    EXPECT_FALSE(open->isClaimed());
    finish(open);
    open->wait();
    watchdog.end();  // a second end is harmless
}

TEST(PumpWatchdogTest, EveryWaitEndsOnceWhenWorkAndTripRace) {
    // Work that ends by itself at about the moment the watchdog stalls the pass: whichever claims
    // first ends the wait, the other finds it claimed. (Run under ThreadSanitizer as well.)
    for (int round = 0; round < 40; ++round) {
        PumpWatchdog watchdog(0.002, 0.001, nullptr, nullptr);
        std::atomic<bool> workClaimed{false};
        std::thread worker;
        const ExitPtr exit = watchdog.open(Watch::watched, [&](const ExitPtr& opened) {
            worker = std::thread([opened, &workClaimed, round] {
                std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 30)));
                if (opened->claim()) {
                    workClaimed = true;
                    opened->resume();
                }
            });
        });
        exit->wait();
        worker.join();
        EXPECT_FALSE(exit->claim()) << "round " << round;
        EXPECT_TRUE(workClaimed || watchdog.stopped() == Stop::stalled) << "round " << round;
    }
}

}  // namespace
}  // namespace dorvex
