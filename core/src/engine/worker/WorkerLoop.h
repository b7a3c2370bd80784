#pragma once
// WorkerLoop: the worker process's side. A worker confines itself (Sandbox), says it is ready,
// then runs the jobs the engine sends, one at a time, each on a thread of its own while the main
// thread keeps reading (a cancellation, or the end of the socket: the engine is gone, and so is
// the worker, at once). Every job's output is handed over by renaming it to the hand-off name in
// the worker's folder (its temporary folder, the one place it may write); the engine places it.

#include <filesystem>
#include <functional>

namespace dorvex::WorkerLoop {

// Called on the job's thread before a job's work, with its source. The tests' faulty workers
// crash, hang or allocate here; the product's worker passes nothing.
using BeforeJob = std::function<void(const std::filesystem::path& source)>;

// The worker program: `dorvex-worker --socket=FD [--address-space=BYTES]`, its temporary folder
// (TMPDIR) the folder the engine made for it. Returns the exit status.
int main(int argc, char** argv, const BeforeJob& beforeJob = {});

}  // namespace dorvex::WorkerLoop
