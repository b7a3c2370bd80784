#include "dorvex/platform/WorkPool.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace dorvex::WorkPool {

namespace {

class Pool {
public:
    explicit Pool(unsigned workers) {
        for (unsigned i = 0; i < workers; ++i) std::thread([this] { serve(); }).detach();
    }

    void submit(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        ready_.notify_one();
    }

private:
    void serve() {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return !queue_.empty(); });
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            try {
                work();
            } catch (...) {
                // A job reports its own failures; nothing may take a worker down with it.
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> queue_;
};

Pool& pool() {
    // Never destroyed: detached workers may still be waiting on it while the process exits.
    static Pool* const shared = new Pool(workerCount());
    return *shared;
}

}  // namespace

unsigned workerCount() { return std::max(4u, std::thread::hardware_concurrency()); }

void submit(std::function<void()> work) { pool().submit(std::move(work)); }

}  // namespace dorvex::WorkPool
