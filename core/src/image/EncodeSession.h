#pragma once
// EncodeSession: one image job's attempts. It owns a private work folder ("dorvex-" + a random
// upper-case UUID in the temporary folder) holding the intermediates and the numbered attempt
// files ("attempt-3.jpg"), reads each attempt's size from the file system right after it is
// written, remembers the last failure, and removes the folder with everything in it when it ends.
// Its encodes end early when the job is cancelled.
//
// An attempt whose encoder would be given exactly what an earlier one was given (the same
// arguments, or the same encoder quality, at the same pixel size) is not encoded again: it is the
// earlier attempt's file and size. The job's thread may also start encodes ahead (encodeAhead),
// each on a thread of its own, for attempts it expects to ask for; encode() takes one over when
// the attempt asks for the same inputs, and the others are ended and their files removed
// (keepAhead, and when the session ends, which joins every thread). All other calls are the job's
// thread's.

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dorvex/image/EncodeFailure.h"
#include "dorvex/model/Cancellation.h"
#include "dorvex/model/OutputFormat.h"
#include "dorvex/model/PixelSize.h"
#include "platform/WorkFolder.h"
#include "image/encoders/ImageEncoder.h"

namespace dorvex {

class EncodeInputs;
class SourceImage;

class EncodeSession {
public:
    // Creates the work folder; throws std::filesystem::filesystem_error when it cannot.
    // `isCancelled` is handed to every encode (see dorvex::encode).
    EncodeSession(SourceImage& source, OutputFormat format, ImageEncoder encoder, CancelQuery isCancelled = nullptr);
    ~EncodeSession();  // removes the work folder; errors are ignored
    EncodeSession(const EncodeSession&) = delete;
    EncodeSession& operator=(const EncodeSession&) = delete;

    // Encodes attempt `index`: its byte size, or nullopt when the encoder declined (see
    // lastFailure()) or the file's size cannot be read. Throws what the encoder throws
    // (ToolCancelled for a cancelled job); the session is then unchanged. An index encoded again
    // replaces its earlier file.
    std::optional<std::int64_t> encode(int index, int quality, std::optional<PixelSize> pixelSize);

    // Starts encoding `quality` at `pixelSize` on a thread of its own, for an attempt that may be
    // asked for next. Only for an external encoder, while the source's pixels are kept, and at a
    // pixel size an attempt has already been made at (its input is there); true when such an
    // encode is running or done for these inputs (or an attempt already has them), false when
    // none was started.
    bool encodeAhead(int quality, std::optional<PixelSize> pixelSize);

    // Ends the encodes started ahead for anything but these (quality, pixel size) inputs and
    // removes their files; they are joined later (at the latest when the session ends).
    void keepAhead(const std::vector<std::pair<int, std::optional<PixelSize>>>& wanted);

    // Encodes started ahead that are still running, in all or for these inputs.
    int runningAhead() const;
    bool runsAhead(int quality, std::optional<PixelSize> pixelSize) const;

    // Ends every encode started ahead, joins its thread and removes its file.
    void endAhead();

    // Attempts that an encode started ahead was taken over for.
    int takenOver() const { return takenOver_; }

    // Whether the source's pixels are kept once an attempt's input is written (the default). A job
    // that makes a single attempt lets go of them before the encoder runs.
    void keepSourcePixels(bool keep);

    // The file of attempt `index`, when one was written.
    std::optional<std::filesystem::path> output(int index) const;

    // The failure of the most recent attempt that failed; never cleared.
    const std::optional<EncodeFailure>& lastFailure() const { return lastFailure_; }

    const std::filesystem::path& workDir() const { return work_.path(); }
    OutputFormat format() const { return format_; }
    const ImageEncoder& encoder() const { return encoder_; }

    // "attempt-<index>.<ext>", "jpg" for JPEG and the raw value otherwise.
    static std::string attemptFileName(int index, OutputFormat format);

    // What the encoder is given for `quality` at `pixelSize`, apart from the file names: two
    // attempts with the same key write the same bytes.
    std::string inputKey(int quality, std::optional<PixelSize> pixelSize) const;

private:
    struct Made {  // an attempt's file and size, by its inputs
        std::filesystem::path file;
        std::int64_t bytes;
    };
    struct Ahead {  // an encode started ahead; its results are read once its thread is joined
        std::string key;
        PixelSize size;
        std::filesystem::path file;
        std::atomic<bool> ended{false};    // told to end
        std::atomic<bool> finished{false};  // its thread has nothing left to do
        std::optional<EncodeFailure> failure;
        std::exception_ptr error;
        std::thread thread;
    };

    void reapAhead(bool wait);
    std::optional<std::int64_t> finishAttempt(int index, const std::filesystem::path& file, const std::string& key,
                                              PixelSize size);

    SourceImage& source_;
    OutputFormat format_;
    ImageEncoder encoder_;
    CancelQuery isCancelled_;
    WorkFolder work_;  // goes after the inputs, which hold files in it
    std::unique_ptr<EncodeInputs> inputs_;
    std::map<int, std::filesystem::path> outputs_;
    std::optional<EncodeFailure> lastFailure_;
    std::map<std::string, Made> made_;
    std::vector<PixelSize> readySizes_;  // sizes whose input has been written
    bool keepPixels_ = true;
    int aheadCount_ = 0;
    int takenOver_ = 0;
    std::list<std::unique_ptr<Ahead>> ahead_;    // may still be taken over
    std::list<std::unique_ptr<Ahead>> retired_;  // told to end; joined and removed later
};

}  // namespace dorvex
