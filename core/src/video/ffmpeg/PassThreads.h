#pragma once
// PassThreads: private to the video pass. The threads a pass starts, every one joined before the
// pass's state goes, and the pump loop that each pump thread runs.

#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "video/PumpWatchdog.h"
#include "video/ffmpeg/Demuxer.h"

namespace dorvex::VideoEncoder {

struct Pass;

// The threads a pass starts. The owner stops the pass before joining (or joins only threads that
// end by themselves); the destructor joins whatever is left.
class PassThreads {
public:
    PassThreads() = default;
    ~PassThreads() { joinAll(); }
    PassThreads(const PassThreads&) = delete;
    PassThreads& operator=(const PassThreads&) = delete;

    // Throws std::system_error when no thread can be started.
    void start(std::function<void()> work) { threads_.emplace_back(std::move(work)); }

    void joinAll() {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

private:
    std::vector<std::thread> threads_;
};

// Steps the pump of `track` until it finishes or the pass stops, then closes its track and ends
// its exit.
void pump(Pass& pass, Track track, const std::shared_ptr<PumpWatchdog::Exit>& exit);

}  // namespace dorvex::VideoEncoder
