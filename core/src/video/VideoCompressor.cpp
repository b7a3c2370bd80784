#include "video/VideoCompressor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "dorvex/image/FailureText.h"
#include "dorvex/model/Cancellation.h"
#include "dorvex/model/FileType.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/model/QualityModel.h"
#include "dorvex/model/SourceFile.h"
#include "video/VideoEncoder.h"
#include "video/VideoProfile.h"
#include "video/VideoSettings.h"
#include "video/VideoSource.h"
#include "platform/WorkFolder.h"
#include "dorvex/text/Translation.h"

namespace dorvex::VideoCompressor {

namespace {

namespace fs = std::filesystem;

struct Attempt {
    int index = 0;
    PixelSize size;  // coded size used
    std::int64_t bytes = 0;
    fs::path file;
    std::int64_t audioBitrate = 0;  // the AAC rate written; 0 without audio
};

// A failure that ends the job with this text.
struct JobFailure {
    std::string message;
};

// What the user reads when a video job ends with `error`; FFmpeg's or our own words on the way
// stay in the detail.
CompressionResult::Failed videoFailure(const VideoError& error, const fs::path& source) {
    const std::string name = source.filename().string();
    switch (error.kind) {
    case VideoError::Kind::unreadable:
        // A file that went, or lost its permissions, says so rather than sounding damaged.
        if (const auto problem = SourceFile::readProblem(source)) return FailureText::unopenable(source, *problem);
        return {i18nf("无法读取视频 {}：文件已损坏、格式不受支持或受版权保护", name), error.detail};
    case VideoError::Kind::encodeFailed: return {i18nf("无法压缩视频 {}：编码出错", name), error.detail};
    case VideoError::Kind::noVideoTrack: return FailureText::compressing(source, i18n("文件中没有视频画面"));
    case VideoError::Kind::unavailable:
        return {i18nf("无法压缩视频 {}：视频组件无法使用，请重新安装 Dorvex", name), error.detail};
    case VideoError::Kind::cancelled: break;
    }
    return {cancelledMessage(), {}};
}

class Job {
public:
    Job(const fs::path& source, const CompressionOptions& options, const EventHandler& onEvent,
        const std::function<bool()>& isCancelled, const OutputPlanner::Handoff& handoff)
        : sourcePath_(source), options_(options), onEvent_(onEvent), isCancelled_(isCancelled), handoff_(handoff) {}

    CompressionResult run();

private:
    bool cancelled() const { return isCancelled_ && isCancelled_(); }
    void send(const CompressionEvent& event) const {
        if (onEvent_) onEvent_(event);
    }
    // One encode pass as the next attempt, with the audio lowered to `audioBitrate` and the frame
    // rate to `frameRate` when given. Throws VideoError (after its event).
    Attempt encode(VideoRate rate, PixelSize size, std::optional<std::int64_t> audioBitrate = std::nullopt,
                   std::optional<double> frameRate = std::nullopt);
    void search(const Attempt& first, std::int64_t limit);
    PixelSize sizeFor(std::int64_t bitrate) const;
    std::optional<Attempt> bestEffort(Attempt last, std::int64_t lastBitrate, Attempt& smallest, std::int64_t limit);
    void finish(const Attempt& chosen);

    const fs::path& sourcePath_;
    const CompressionOptions& options_;
    const EventHandler& onEvent_;
    const std::function<bool()>& isCancelled_;
    const OutputPlanner::Handoff& handoff_;  // the kept output goes here

    CompressionResult result_;
    OutputFormat format_ = OutputFormat::mp4;
    VideoSource source_;
    fs::path folder_;
    int nextIndex_ = 0;
};

Attempt Job::encode(VideoRate rate, PixelSize size, std::optional<std::int64_t> audioBitrate,
                    std::optional<double> frameRate) {
    const int index = nextIndex_++;
    Attempt attempt{index, size, 0, folder_ / fmt::format("attempt-{}.{}", index, format_.rawValue())};
    if (source_.hasAudio()) {
        attempt.audioBitrate =
            VideoSettings::audioShape(source_.audioChannels, source_.audioSampleRate, audioBitrate).bitrate;
    }
    // Only a lowered audio rate is reported: the standard one goes without saying.
    const std::optional<std::int64_t> reportedAudio = audioBitrate ? std::optional(attempt.audioBitrate) : std::nullopt;
    // What is reported is what the pass writes (even sides), in the orientation it is shown.
    const std::optional<PixelSize> shownSize =
        size == source_.naturalSize ? std::nullopt
                                    : std::optional<PixelSize>(source_.displaySize(VideoSettings::encodedSize(size)));
    const VideoEncodeSettings settings{options_.videoCodec, rate, size, audioBitrate, frameRate};
    const auto event = [&](std::optional<std::int64_t> bytes) {
        return CompressionEvent{CompressionEvent::VideoAttempt{index, rate, shownSize, bytes, reportedAudio, frameRate}};
    };
    try {
        attempt.bytes = VideoEncoder::encode(
            source_, settings, attempt.file, VideoProfile::stallTimeoutSeconds, VideoProfile::watchdogIntervalSeconds,
            [this, index](double fraction) { send(CompressionEvent{CompressionEvent::Progress{index, fraction}}); },
            [this] { return cancelled(); });
    } catch (const VideoError& error) {
        if (error.kind != VideoError::Kind::cancelled) {
            send(event(std::nullopt));
        }
        throw;
    }
    result_.encodeCount = index + 1;
    send(event(attempt.bytes));
    return attempt;
}

void Job::search(const Attempt& first, std::int64_t limit) {
    using StopReason = SearchStopReason;
    const auto settle = [this](const Attempt& attempt, bool met, StopReason reason) {
        result_.maxSizeMet = met;
        result_.stopReason = reason;
        finish(attempt);
    };

    // No file is at most zero bytes long: nothing to search for.
    if (limit < 1) return settle(first, false, StopReason::unreachable);

    // Qualities, on the log-linear model of size against quality.
    std::vector<VideoProfile::QualitySample> samples{{VideoProfile::quality(options_.level), first.bytes}};
    std::optional<Attempt> bestFitting;
    Attempt smallest = first;
    for (int tries = 0; tries < VideoProfile::maxQualityAttempts; ++tries) {
        const std::optional<double> next = VideoProfile::nextQuality(samples, limit);
        if (!next) break;
        const Attempt attempt = encode(VideoRate::quality(*next), source_.naturalSize);
        samples.push_back({*next, attempt.bytes});
        if (attempt.bytes <= limit) bestFitting = attempt;
        if (attempt.bytes < smallest.bytes) smallest = attempt;
    }
    if (bestFitting) return settle(*bestFitting, true, StopReason::converged);

    // Average bit rates from the budget, at a pixel size the rate can carry.
    std::int64_t bitrate = VideoProfile::bitrate(limit, source_.duration, source_.hasAudio());
    PixelSize size = sizeFor(bitrate);
    Attempt last = first;
    for (int tries = 1;; ++tries) {
        const Attempt attempt = encode(VideoRate::bitrate(bitrate), size);
        last = attempt;
        if (attempt.bytes <= limit) return settle(attempt, true, StopReason::converged);
        if (attempt.bytes < smallest.bytes) smallest = attempt;
        if (tries >= VideoProfile::maxBitrateAttempts) break;
        const double corrected = std::trunc(std::min(double(bitrate) * double(limit) / double(attempt.bytes) * 0.95, 4e9));
        const std::int64_t nextBitrate = std::max(std::int64_t(corrected), VideoProfile::bitrateFloor);
        const PixelSize nextSize = sizeFor(nextBitrate);
        if (nextSize == size && nextBitrate == bitrate) break;
        bitrate = nextBitrate;
        size = nextSize;
    }
    if (const std::optional<Attempt> fitting = bestEffort(last, bitrate, smallest, limit)) {
        return settle(*fitting, true, StopReason::converged);
    }
    settle(smallest, false, StopReason::unreachable);
}

// After a search that ended over the limit: up to maxBestEffortAttempts more, each planned by
// VideoProfile::bestEffort (lower audio, then fewer frames, then fewer pixels) from how far the
// last pass was from its video target. Ends at a fit within 10 % of the limit, at a plan already
// tried, or when the attempts are spent. The fit closest under the limit, if any; `smallest`
// follows the attempts.
std::optional<Attempt> Job::bestEffort(Attempt last, std::int64_t lastBitrate, Attempt& smallest, std::int64_t limit) {
    const std::int64_t standardAudio =
        source_.hasAudio() ? VideoSettings::audioShape(source_.audioChannels, source_.audioSampleRate).bitrate : 0;
    const VideoProfile::BestEffortSource shape{source_.naturalSize, source_.frameRate,  source_.duration,
                                               standardAudio,       options_.videoCodec, options_.keepDimensions};
    std::vector<VideoProfile::BestEffort> tried;
    std::optional<Attempt> bestFitting;
    for (int made = 0; made < VideoProfile::maxBestEffortAttempts; ++made) {
        const double ratio = VideoProfile::rateRatio(last.bytes, source_.duration, last.audioBitrate, lastBitrate);
        const std::optional<VideoProfile::BestEffort> plan = VideoProfile::bestEffort(shape, limit, ratio);
        if (!plan || std::find(tried.begin(), tried.end(), *plan) != tried.end()) break;
        tried.push_back(*plan);
        const Attempt attempt =
            encode(VideoRate::bitrate(plan->videoBitrate), plan->size, plan->audioBitrate, plan->frameRate);
        if (attempt.bytes <= limit) {
            if (!bestFitting || attempt.bytes > bestFitting->bytes) bestFitting = attempt;
            if (double(attempt.bytes) >= 0.9 * double(limit)) break;
        } else if (attempt.bytes < smallest.bytes) {
            smallest = attempt;
        }
        last = attempt;
        lastBitrate = plan->videoBitrate;
    }
    return bestFitting;
}

// The pixel size an average bit rate can carry (the source's own when its dimensions are kept).
PixelSize Job::sizeFor(std::int64_t bitrate) const {
    return options_.keepDimensions
               ? source_.naturalSize
               : VideoProfile::scaledSize(source_.naturalSize, bitrate, source_.frameRate, options_.videoCodec);
}

void Job::finish(const Attempt& chosen) {
    result_.pixelSize = source_.displaySize(VideoSettings::encodedSize(chosen.size));
    result_.outputBytes = chosen.bytes;
    if (OutputPlanner::isNoSavings(result_.sourceBytes, chosen.bytes, true, options_.videoMaxBytes)) {
        result_.status = CompressionResult::Skipped{SkipReason::noSavings};
        return;
    }
    if (cancelled()) throw JobFailure{cancelledMessage()};
    handoff_(chosen.file, result_);
    result_.status = CompressionResult::Success{};
}

CompressionResult Job::run() {
    // Video is only ever written in the source's own container; a name that says neither MP4 nor
    // QuickTime gets MP4.
    const OutputFormat original = OutputFormat::original(FileType::fromPath(sourcePath_.string()));
    format_ = original.isVideo() ? original : OutputFormat(OutputFormat::mp4);
    result_.status = CompressionResult::Failed{};
    result_.format = format_;
    result_.videoCodec = options_.videoCodec;

    std::optional<WorkFolder> work;
    try {
        folder_ = work.emplace("dorvex-video-").path();
        OutputPlanner::validateNaming(options_.filenamePrefix, options_.saveLocation);
        work->create();
        if (!QualityModel::isUsableLevel(options_.level)) throw InvalidLevelError(options_.level);

        source_ = VideoSource::load(sourcePath_);
        result_.duration = source_.duration;
        result_.sourceBytes = source_.byteCount;
        result_.pixelSize = result_.sourcePixelSize = source_.displaySize();
        send(CompressionEvent{CompressionEvent::Started{source_.displaySize()}});
        if (cancelled()) throw JobFailure{cancelledMessage()};

        const Attempt first = encode(VideoRate::quality(VideoProfile::quality(options_.level)), source_.naturalSize);
        const std::optional<std::int64_t> limit = options_.videoMaxBytes;
        if (!limit || first.bytes <= *limit) {
            if (limit) {
                result_.maxSizeMet = true;
                result_.stopReason = SearchStopReason::alreadyMet;
            }
            finish(first);
        } else {
            search(first, *limit);
        }
    } catch (const JobFailure& failure) {
        result_.status = CompressionResult::Failed{failure.message, {}};
    } catch (const VideoError& error) {
        result_.status = videoFailure(error, sourcePath_);
    } catch (...) {
        result_.status = FailureText::current(sourcePath_);
    }
    return result_;
}

}  // namespace

CompressionResult compress(const fs::path& source, const CompressionOptions& options, const EventHandler& onEvent,
                           const std::function<bool()>& isCancelled) {
    const auto sourceAsRead = OutputPlanner::SourceIdentity::of(source);
    return produce(source, options, onEvent, isCancelled,
                   OutputPlanner::placing(source, options.saveLocation, options.filenamePrefix, sourceAsRead));
}

CompressionResult produce(const fs::path& source, const CompressionOptions& options, const EventHandler& onEvent,
                          const std::function<bool()>& isCancelled, const OutputPlanner::Handoff& handoff) {
    try {
        return Job(source, options, onEvent, isCancelled, handoff).run();
    } catch (...) {
        // Only a failure to build the result itself gets here.
        CompressionResult result;
        result.status = FailureText::compressing(source, i18n("出现意外错误"));
        return result;
    }
}

}  // namespace dorvex::VideoCompressor
