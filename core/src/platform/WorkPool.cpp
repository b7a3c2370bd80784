#include "dorvex/platform/WorkPool.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

#include "dorvex/platform/Processors.h"
#include "platform/OwnedThreads.h"

namespace dorvex::WorkPool {

namespace {

class Pool {
public:
    void submit(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            OwnedThreads::joinEnded(workers_);
            // Workers told to stop still run the queue, but the new item needs workers of its own.
            const bool staffed = std::any_of(workers_.begin(), workers_.end(),
                                             [](const Worker& worker) { return !worker.stopping; });
            if (!staffed) {
                for (unsigned i = workerCount(); i > 0; --i) {
                    Worker& worker = workers_.emplace_back();
                    try {
                        worker.thread = std::thread([this, &worker] { serve(worker); });
                    } catch (...) {
                        workers_.pop_back();  // no thread: it must not count as a worker
                        throw;
                    }
                }
            }
            queue_.push_back(std::move(work));
        }
        ready_.notify_one();
    }

    bool stop(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        for (Worker& worker : workers_) worker.stopping = true;
        ready_.notify_all();
        ended_.wait_until(lock, deadline, [this] {
            return std::all_of(workers_.begin(), workers_.end(), [](const Worker& worker) { return worker.ended; });
        });
        OwnedThreads::joinEnded(workers_);
        return workers_.empty();
    }

private:
    struct Worker {
        std::thread thread;
        bool stopping = false;  // end once the queue is empty
        bool ended = false;     // past its last use of the pool: joining it cannot block
    };

    void serve(Worker& self) {
        ::pthread_setname_np(::pthread_self(), "dorvex-worker");
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return !queue_.empty() || self.stopping; });
                if (queue_.empty()) {
                    self.ended = true;
                    ended_.notify_all();
                    return;
                }
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
    std::condition_variable ended_;
    std::deque<std::function<void()>> queue_;
    std::list<Worker> workers_;  // a list: each worker keeps a reference to its own entry
};

Pool& pool() {
    // Never destroyed: a worker that outlives stop()'s deadline may still use it while the
    // process exits, and a joinable std::thread must not be destroyed.
    static Pool* const shared = new Pool;
    return *shared;
}

}  // namespace

unsigned workerCount() { return std::max(4u, Processors::usable()); }

void submit(std::function<void()> work) { pool().submit(std::move(work)); }

bool stop(std::chrono::steady_clock::time_point deadline) { return pool().stop(deadline); }

}  // namespace dorvex::WorkPool
