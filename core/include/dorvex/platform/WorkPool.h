#pragma once
// WorkPool: the engine's process-wide pool of worker threads for image and PDF jobs. Work items
// run in the order submitted, several at once; each runs synchronously on one worker. Workers are
// started by the first submit and joined by stop(), never detached; a submit after a stop starts
// a fresh set.

#include <chrono>
#include <functional>

namespace dorvex::WorkPool {

// Queues `work` to run on a worker thread, never on the caller's. Throws std::system_error when
// no worker can be started.
void submit(std::function<void()> work);

// How many workers there are: the processors this process may use (Processors::usable), at
// least 4, so that the few jobs the front ends start at once never wait behind each other for a
// thread.
unsigned workerCount();

// Lets the workers run what is queued (every item runs: it owes its caller a result) and end, and
// joins them, waiting until `deadline` at most. Returns true when every worker has been joined.
// A worker still busy at the deadline is kept, joinable, and joined by a later stop() once it has
// ended; its process exit takes it otherwise.
bool stop(std::chrono::steady_clock::time_point deadline);

}  // namespace dorvex::WorkPool
