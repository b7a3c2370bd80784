#pragma once
// PassStatus: private to the video pass. What went wrong in a pass, as its threads record it:
// the first reading and the first writing failure, a failed colour conversion, and whether the
// trailer was written.

#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace dorvex::VideoEncoder {

class PassStatus {
public:
    void readerFailed(std::string message) { record(reader_, std::move(message)); }
    void writerFailed(std::string message) { record(writer_, std::move(message)); }
    void colourFailed() {
        std::lock_guard guard(lock_);
        colour_ = true;
    }
    void finished(std::optional<std::string> error) {
        std::lock_guard guard(lock_);
        finished_ = true;
        finishError_ = std::move(error);
    }

    std::optional<std::string> reader() const { return read(reader_); }
    std::optional<std::string> writer() const { return read(writer_); }
    bool colour() const {
        std::lock_guard guard(lock_);
        return colour_;
    }
    bool anyFailed() const {
        std::lock_guard guard(lock_);
        return reader_ || writer_ || colour_;
    }
    // Whether the trailer was written, and if not, why (empty: no message).
    std::optional<std::string> finishError() const {
        std::lock_guard guard(lock_);
        if (!finished_) return std::string();
        return finishError_;
    }

private:
    void record(std::optional<std::string>& slot, std::string message) {
        std::lock_guard guard(lock_);
        if (!slot) slot = std::move(message);  // the first failure explains the rest
    }
    std::optional<std::string> read(const std::optional<std::string>& slot) const {
        std::lock_guard guard(lock_);
        return slot;
    }

    mutable std::mutex lock_;
    std::optional<std::string> reader_;
    std::optional<std::string> writer_;
    bool colour_ = false;
    bool finished_ = false;
    std::optional<std::string> finishError_;
};

}  // namespace dorvex::VideoEncoder
