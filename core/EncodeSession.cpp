#include "EncodeSession.h"

#include <system_error>

#include <fmt/format.h>

#include "SourceImage.h"
#include "Uuid.h"
#include "encoders/EncodeInputs.h"

namespace dorvex {

std::string makeUUID() { return Uuid::random().text(); }

EncodeSession::EncodeSession(SourceImage& source, OutputFormat format, ImageEncoder encoder)
    : source_(source),
      format_(format),
      encoder_(std::move(encoder)),
      workDir_(std::filesystem::temp_directory_path() / ("dorvex-" + makeUUID())) {
    std::filesystem::create_directories(workDir_);
    inputs_ = std::make_unique<EncodeInputs>(source_, workDir_);
}

EncodeSession::~EncodeSession() {
    inputs_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(workDir_, ignored);
}

std::string EncodeSession::attemptFileName(int index, OutputFormat format) {
    return fmt::format("attempt-{}.{}", index, format.fileExtension());
}

std::optional<std::int64_t> EncodeSession::encode(int index, int quality, std::optional<PixelSize> pixelSize) {
    const std::filesystem::path file = workDir_ / attemptFileName(index, format_);
    if (auto failure = dorvex::encode(encoder_, quality, pixelSize, *inputs_, file)) {
        lastFailure_ = std::move(failure);
        return std::nullopt;
    }
    outputs_[index] = file;
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error) return std::nullopt;
    return std::int64_t(size);
}

std::optional<std::filesystem::path> EncodeSession::output(int index) const {
    auto it = outputs_.find(index);
    if (it == outputs_.end()) return std::nullopt;
    return it->second;
}

}  // namespace dorvex
