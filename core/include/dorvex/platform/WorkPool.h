#pragma once
// WorkPool: the engine's process-wide pool of worker threads for image and PDF jobs. Work items
// run in the order submitted, several at once; each runs synchronously on one worker, blocking it
// while an external encoder runs. The pool is made on first use and lives as long as the process
// (its threads are never joined: jobs still running at exit belong to a process that is ending).

#include <functional>

namespace dorvex::WorkPool {

// Queues `work` to run on a worker thread, never on the caller's.
void submit(std::function<void()> work);

// How many workers there are: the processor count, at least 4, so that the few jobs the front
// ends start at once never wait behind each other for a thread.
unsigned workerCount();

}  // namespace dorvex::WorkPool
