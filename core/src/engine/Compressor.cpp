// The engine's single entry: classification by file name and dispatch off the caller's thread.

#include "dorvex/engine/Compressor.h"

#include <mutex>
#include <thread>

#include "dorvex/image/ImagePipeline.h"
#include "dorvex/platform/WorkPool.h"
#include "dorvex/pdf/PDFCompressor.h"
#include "dorvex/video/VideoCompressor.h"

namespace dorvex::Compressor {

struct Job::State {
    mutable std::mutex lock;  // held only for one read or write of `cancelled`
    bool cancelled = false;
    std::promise<CompressionResult> promise;
    std::shared_future<CompressionResult> result = promise.get_future().share();

    bool isCancelled() const {
        std::lock_guard guard(lock);
        return cancelled;
    }
};

Job::Job(std::shared_ptr<State> state) : state_(std::move(state)) {}

void Job::cancel() const {
    std::lock_guard guard(state_->lock);
    state_->cancelled = true;
}

bool Job::isCancelled() const { return state_->isCancelled(); }

const std::shared_future<CompressionResult>& Job::result() const { return state_->result; }

Job compress(const std::filesystem::path& source, const CompressionOptions& options, const Toolchain& toolchain,
             EventHandler onEvent, CompletionHandler onFinished) {
    auto state = std::make_shared<Job::State>();
    const OutputFormat kind = OutputFormat::original(FileType::fromPath(source));

    // Runs on the job's own thread: the pipeline, then the result, exactly once.
    auto work = [state, source, options, toolchain, kind, onEvent = std::move(onEvent),
                 onFinished = std::move(onFinished)] {
        const auto isCancelled = [state] { return state->isCancelled(); };
        CompressionResult result;
        try {
            if (kind.isVideo()) {
                result = VideoCompressor::compress(source, options, onEvent, isCancelled);
            } else if (kind.isPDF()) {
                result = PDFCompressor::compress(source, options, isCancelled);
            } else {
                result = ImagePipeline::run(source, options, toolchain, onEvent, isCancelled);
            }
        } catch (const std::exception& error) {
            result.status = CompressionResult::Failed{error.what()};
        } catch (...) {
            result.status = CompressionResult::Failed{"编码失败"};
        }
        state->promise.set_value(result);
        if (onFinished) onFinished(result);
    };

    if (kind.isVideo()) {
        std::thread(std::move(work)).detach();
    } else {
        WorkPool::submit(std::move(work));
    }
    return Job(state);
}

}  // namespace dorvex::Compressor
