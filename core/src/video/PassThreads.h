#pragma once
// PassThreads: private to the video pass. The threads a pass starts, and the pump loop that
// each pump thread runs.

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "dorvex/video/PumpWatchdog.h"
#include "video/Demuxer.h"

namespace dorvex::VideoEncoder {

struct Pass;

// The threads a pass starts. Threads that have finished are joined; one that is still busy after
// the watchdog stopped the pass is let go (it owns what it uses and ends by itself).
class PassThreads {
public:
    ~PassThreads() { release(); }

    // Throws std::system_error when no thread can be started.
    void start(std::function<void()> work) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        threads_.reserve(threads_.size() + 1);
        std::thread thread([work = std::move(work), done]() mutable {
            work();
            work = nullptr;  // let go of the pass before saying so
            done->store(true);
        });
        threads_.push_back(Thread{std::move(thread), done});
    }

    void joinAll() {
        for (Thread& thread : threads_) {
            if (thread.thread.joinable()) thread.thread.join();
        }
    }

    void release() {
        for (Thread& thread : threads_) {
            if (!thread.thread.joinable()) continue;
            if (thread.done->load()) {
                thread.thread.join();
            } else {
                thread.thread.detach();
            }
        }
    }

private:
    struct Thread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Thread> threads_;
};

// Steps the pump of `track` until it finishes or the pass stops, then closes its track and ends
// its exit.
void pump(const std::shared_ptr<Pass>& pass, Track track, const std::shared_ptr<PumpWatchdog::Exit>& exit);

}  // namespace dorvex::VideoEncoder
