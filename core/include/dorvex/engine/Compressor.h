#pragma once
// Compressor: the engine's entry points. compress() takes one file of any kind, runs it away
// from the caller (images and PDFs on the work pool, a video on a thread of its own) and hands
// back a Job: its one result, and the way to cancel it. It never throws: every failure is a
// result with status failed and the text the user sees; a cancellation is "已取消". The engine
// owns every thread it starts; shutdown() ends them all. It also owns the durability of a batch:
// new outputs are not flushed one by one, finishBatch() (or shutdown()) puts them on disk.

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "dorvex/model/Cancellation.h"
#include "dorvex/model/CompressionEvent.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"
#include "dorvex/image/Toolchain.h"

namespace dorvex::Compressor {

using dorvex::CancelQuery;
using dorvex::cancelledText;

// A job started by compress(): a cheap, copyable handle.
class Job {
public:
    struct State;  // the cancellation flag and the result, shared with the running job

    explicit Job(std::shared_ptr<State> state);

    // Sets the job's cancellation flag at once; the pipeline sees it at its next check and ends
    // with "已取消". A running external encoder is ended within about a second; a step inside a
    // library (decoding, our own writers, a PDF image) finishes first.
    void cancel() const;
    bool isCancelled() const;

    // The job's one result, ready once the pipeline has returned.
    const std::shared_future<CompressionResult>& result() const;
    // Blocks until the result is ready and returns it.
    CompressionResult wait() const { return result().get(); }

private:
    std::shared_ptr<State> state_;
};

using CompletionHandler = std::function<void(const CompressionResult&)>;

// Compresses one file with one option set, classified by its extension: a video goes to the
// video compressor on a thread of its own, a PDF to the PDF compressor and anything else to the
// image pipeline, both on the work pool — never on the caller's thread. When the job's turn comes,
// a source that cannot be opened fails at once with SourceFile's text ("没有读取权限", "文件已不存在")
// before any decoder sees it. Events may come from any thread. `onFinished`, when given, is called exactly once with the result, on the job's thread,
// after the result is ready.
Job compress(const std::filesystem::path& source, const CompressionOptions& options, const Toolchain& toolchain,
             EventHandler onEvent, CompletionHandler onFinished = nullptr);

// Ends a batch: flushes to disk every filesystem that outputs went to without a flush of their
// own since the last call (one syncfs each), so that a front end may say the batch is done and a
// script may delete the sources. Blocks until the disks have them. Returns the failures' texts
// ("cannot write /a/out: Input/output error"); empty when all went well or nothing was waiting.
// Safe from any thread but an event or completion handler's (it may wait for the disk a while).
std::vector<std::string> finishBatch();

// What shutdown() achieved.
struct ShutdownOutcome {
    bool stopped = true;                   // every thread ended within the limit
    std::vector<std::string> flushFailures;  // finishBatch's failures
    // True when everything stopped and every output is on disk.
    explicit operator bool() const { return stopped && flushFailures.empty(); }
    bool operator==(const ShutdownOutcome&) const = default;
};

// Ends the engine's work, for a front end that quits: cancels every job, waits for each to unwind
// (its encoder ended, its work folder removed, its result and completion handler delivered) and
// joins the work pool's workers and the video jobs' threads. Jobs started while it runs are
// cancelled at once. Then the outputs written so far are flushed (finishBatch). `stopped` says
// whether the threads ended within `timeLimit`. When they did not, it gives up at the limit: the
// threads still busy stay joinable (never detached), a later shutdown() joins them, and process
// exit takes them if none comes; their jobs' work folders go when those jobs end. Afterwards the
// engine is usable again: the next compress() starts fresh workers. Call it from a front end's
// own thread, never from an event or completion handler.
ShutdownOutcome shutdown(std::chrono::milliseconds timeLimit = std::chrono::seconds(5));

}  // namespace dorvex::Compressor
