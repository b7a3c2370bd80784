#include "dorvex/image/EncodeSession.h"

#include <system_error>

#include <fmt/format.h>

#include "dorvex/image/SourceImage.h"
#include "dorvex/image/encoders/EncodeInputs.h"

namespace dorvex {

EncodeSession::EncodeSession(SourceImage& source, OutputFormat format, ImageEncoder encoder, CancelQuery isCancelled)
    : source_(source),
      format_(format),
      encoder_(std::move(encoder)),
      isCancelled_(std::move(isCancelled)),
      work_("dorvex-") {
    work_.create();
    inputs_ = std::make_unique<EncodeInputs>(source_, work_.path());
}

EncodeSession::~EncodeSession() = default;

std::string EncodeSession::attemptFileName(int index, OutputFormat format) {
    return fmt::format("attempt-{}.{}", index, format.fileExtension());
}

std::optional<std::int64_t> EncodeSession::encode(int index, int quality, std::optional<PixelSize> pixelSize) {
    const std::filesystem::path file = work_.path() / attemptFileName(index, format_);
    // The platform writer makes its file by name with the default mode (external encoders run
    // with a private umask): it is made private first. A failure is the writer's to report.
    if (std::holds_alternative<ImageIOEncoder>(encoder_)) WorkFolder::makePrivateFile(file);
    if (auto failure = dorvex::encode(encoder_, quality, pixelSize, *inputs_, file, isCancelled_)) {
        lastFailure_ = std::move(failure);
        return std::nullopt;
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error) {
        // Success without a file: the encoder is not to be trusted with this attempt.
        lastFailure_ = EncodeFailure{EncodeFailure::UnusableOutput{encoderName(encoder_), "it is missing"}};
        return std::nullopt;
    }
    outputs_[index] = file;
    return std::int64_t(size);
}

void EncodeSession::keepSourcePixels(bool keep) { inputs_->keepSourcePixels(keep); }

std::optional<std::filesystem::path> EncodeSession::output(int index) const {
    auto it = outputs_.find(index);
    if (it == outputs_.end()) return std::nullopt;
    return it->second;
}

}  // namespace dorvex
