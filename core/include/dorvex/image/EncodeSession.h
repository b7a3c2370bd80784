#pragma once
// EncodeSession: one image job's attempts. It owns a private work folder ("dorvex-" + a random
// upper-case UUID in the temporary folder) holding the intermediates and the numbered attempt
// files ("attempt-3.jpg"), reads each attempt's size from the file system right after it is
// written, remembers the last failure, and removes the folder with everything in it when it ends.
// Its encodes end early when the job is cancelled. One job, one thread: nothing here is locked.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "dorvex/image/EncodeFailure.h"
#include "dorvex/model/Cancellation.h"
#include "dorvex/model/OutputFormat.h"
#include "dorvex/model/PixelSize.h"
#include "dorvex/platform/WorkFolder.h"
#include "dorvex/image/encoders/ImageEncoder.h"

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

private:
    SourceImage& source_;
    OutputFormat format_;
    ImageEncoder encoder_;
    CancelQuery isCancelled_;
    WorkFolder work_;  // goes after the inputs, which hold files in it
    std::unique_ptr<EncodeInputs> inputs_;
    std::map<int, std::filesystem::path> outputs_;
    std::optional<EncodeFailure> lastFailure_;
};

}  // namespace dorvex
