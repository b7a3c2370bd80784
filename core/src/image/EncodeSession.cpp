#include "image/EncodeSession.h"

#include <algorithm>
#include <system_error>
#include <type_traits>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "image/SourceImage.h"
#include "image/encoders/EncodeInputs.h"
#include "dorvex/model/FormatProfile.h"

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

EncodeSession::~EncodeSession() { endAhead(); }

std::string EncodeSession::attemptFileName(int index, OutputFormat format) {
    return fmt::format("attempt-{}.{}", index, format.fileExtension());
}

std::string EncodeSession::inputKey(int quality, std::optional<PixelSize> pixelSize) const {
    const PixelSize size = pixelSize.value_or(source_.pixelSize);
    const std::string at = fmt::format("@{}x{}", size.width, size.height);
    const auto joined = [&](const std::vector<std::string>& arguments) { return fmt::format("{}", fmt::join(arguments, " ")) + at; };
    return std::visit(
        [&](const auto& e) -> std::string {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, MozJPEGEncoder> || std::is_same_v<E, PNGQuantEncoder>) {
                return joined(E::arguments(quality, "", ""));
            } else if constexpr (std::is_same_v<E, CWebPEncoder>) {
                return joined(E::arguments(FormatProfile::encoderQuality(OutputFormat::webp, quality), "", ""));
            } else if constexpr (std::is_same_v<E, CJXLEncoder>) {
                if (e.lossless) return "lossless";  // quality and size are not looked at
                return joined(E::lossyArguments(FormatProfile::encoderQuality(OutputFormat::jxl, quality), "", ""));
            } else {
                if (const auto* lossy = std::get_if<ImageIOEncoder::Lossy>(&e.mode)) {
                    return fmt::format("{}", FormatProfile::encoderQuality(lossy->format, quality)) + at;
                }
                return "as stored";  // TIFF and ICNS: the source's own pages, whatever is asked for
            }
        },
        encoder_);
}

std::optional<std::int64_t> EncodeSession::encode(int index, int quality, std::optional<PixelSize> pixelSize) {
    reapAhead(false);
    const std::string key = inputKey(quality, pixelSize);
    if (const auto found = made_.find(key); found != made_.end()) {
        outputs_[index] = found->second.file;
        return found->second.bytes;
    }
    const PixelSize size = pixelSize.value_or(source_.pixelSize);
    const std::filesystem::path file = work_.path() / attemptFileName(index, format_);

    const auto ahead = std::find_if(ahead_.begin(), ahead_.end(), [&](const auto& a) { return a->key == key; });
    if (ahead != ahead_.end()) {
        const std::unique_ptr<Ahead> taken = std::move(*ahead);
        ahead_.erase(ahead);
        taken->thread.join();
        std::error_code error;
        if (!taken->error && !taken->failure) std::filesystem::rename(taken->file, file, error);
        if (taken->error || taken->failure || error) std::filesystem::remove(taken->file, error);
        if (taken->error) std::rethrow_exception(taken->error);
        if (taken->failure) {
            lastFailure_ = std::move(taken->failure);
            return std::nullopt;
        }
        if (!error) {
            takenOver_ += 1;
            return finishAttempt(index, file, key, size);
        }
        // The file could not be given the attempt's name: the attempt is encoded after all.
    }

    // An input not written yet is written now, while nothing running ahead reads the inputs.
    if (std::find(readySizes_.begin(), readySizes_.end(), size) == readySizes_.end()) endAhead();
    // The platform writer makes its file by name with the default mode (external encoders run
    // with a private umask): it is made private first. A failure is the writer's to report.
    if (std::holds_alternative<ImageIOEncoder>(encoder_)) WorkFolder::makePrivateFile(file);
    if (auto failure = dorvex::encode(encoder_, quality, pixelSize, *inputs_, file, isCancelled_)) {
        lastFailure_ = std::move(failure);
        return std::nullopt;
    }
    return finishAttempt(index, file, key, size);
}

std::optional<std::int64_t> EncodeSession::finishAttempt(int index, const std::filesystem::path& file,
                                                         const std::string& key, PixelSize size) {
    std::error_code error;
    const auto bytes = std::filesystem::file_size(file, error);
    if (error) {
        // Success without a file: the encoder is not to be trusted with this attempt.
        lastFailure_ = EncodeFailure{EncodeFailure::UnusableOutput{encoderName(encoder_), "it is missing"}};
        return std::nullopt;
    }
    outputs_[index] = file;
    made_[key] = Made{file, std::int64_t(bytes)};
    if (std::find(readySizes_.begin(), readySizes_.end(), size) == readySizes_.end()) readySizes_.push_back(size);
    return std::int64_t(bytes);
}

bool EncodeSession::encodeAhead(int quality, std::optional<PixelSize> pixelSize) {
    if (!keepPixels_ || std::holds_alternative<ImageIOEncoder>(encoder_)) return false;
    const std::string key = inputKey(quality, pixelSize);
    if (made_.contains(key)) return true;
    if (std::any_of(ahead_.begin(), ahead_.end(), [&](const auto& a) { return a->key == key; })) return true;
    const PixelSize size = pixelSize.value_or(source_.pixelSize);
    if (std::find(readySizes_.begin(), readySizes_.end(), size) == readySizes_.end()) return false;

    auto ahead = std::make_unique<Ahead>();
    ahead->key = key;
    ahead->size = size;
    ahead->file = work_.path() / fmt::format("ahead-{}.{}", ++aheadCount_, format_.fileExtension());
    Ahead* a = ahead.get();
    try {
        a->thread = std::thread([this, a, quality, pixelSize] {
            // The inputs at this size are written and only looked up; the encoder is a value.
            const CancelQuery ended = [this, a] { return a->ended.load() || (isCancelled_ && isCancelled_()); };
            try {
                a->failure = dorvex::encode(encoder_, quality, pixelSize, *inputs_, a->file, ended);
            } catch (...) {
                a->error = std::current_exception();
            }
            a->finished = true;
        });
    } catch (const std::system_error&) {
        return false;  // no thread to be had: the attempt is made when it is asked for
    }
    ahead_.push_back(std::move(ahead));
    return true;
}

void EncodeSession::keepAhead(const std::vector<std::pair<int, std::optional<PixelSize>>>& wanted) {
    std::vector<std::string> keys;
    for (const auto& [quality, pixelSize] : wanted) keys.push_back(inputKey(quality, pixelSize));
    for (auto it = ahead_.begin(); it != ahead_.end();) {
        if (std::find(keys.begin(), keys.end(), (*it)->key) != keys.end()) {
            ++it;
            continue;
        }
        (*it)->ended = true;
        retired_.push_back(std::move(*it));
        it = ahead_.erase(it);
    }
    reapAhead(false);
}

int EncodeSession::runningAhead() const {
    return int(std::count_if(ahead_.begin(), ahead_.end(), [](const auto& a) { return !a->finished.load(); }));
}

bool EncodeSession::runsAhead(int quality, std::optional<PixelSize> pixelSize) const {
    const std::string key = inputKey(quality, pixelSize);
    return std::any_of(ahead_.begin(), ahead_.end(), [&](const auto& a) { return a->key == key && !a->finished.load(); });
}

void EncodeSession::reapAhead(bool wait) {
    for (auto it = retired_.begin(); it != retired_.end();) {
        if (!wait && !(*it)->finished.load()) {
            ++it;
            continue;
        }
        (*it)->thread.join();
        std::error_code error;
        std::filesystem::remove((*it)->file, error);
        it = retired_.erase(it);
    }
}

void EncodeSession::endAhead() {
    for (auto& a : ahead_) {
        a->ended = true;
        retired_.push_back(std::move(a));
    }
    ahead_.clear();
    reapAhead(true);
}

void EncodeSession::keepSourcePixels(bool keep) {
    keepPixels_ = keep;
    inputs_->keepSourcePixels(keep);
}

std::optional<std::filesystem::path> EncodeSession::output(int index) const {
    auto it = outputs_.find(index);
    if (it == outputs_.end()) return std::nullopt;
    return it->second;
}

}  // namespace dorvex
