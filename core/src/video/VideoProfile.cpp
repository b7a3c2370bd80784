#include "video/VideoProfile.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace dorvex::VideoProfile {

double quality(double level) {
    const double q = 0.78 - 0.06 * level;
    return std::fmax(0.05, std::fmin(1.0, q));  // fmin/fmax also settle a NaN level, at 1.0
}

int keyFrameInterval(double frameRate) {
    double frames = 30;
    if (std::isfinite(frameRate) && frameRate > 0) frames = std::max(1.0, std::round(frameRate));
    // A nonsensical rate from a damaged file must not overflow the count.
    return int(std::min(frames * 10, double(std::numeric_limits<int>::max())));
}

namespace {

// The first of the samples that compares best; `better(a, b)` is true when a beats b.
template <typename Better>
const QualitySample* pick(const std::vector<const QualitySample*>& samples, Better better) {
    const QualitySample* chosen = nullptr;
    for (const QualitySample* sample : samples) {
        if (!chosen || better(*sample, *chosen)) chosen = sample;
    }
    return chosen;
}

}  // namespace

std::optional<double> nextQuality(const std::vector<QualitySample>& samples, std::int64_t limit) {
    // No size is at or below a limit under one byte: there is nothing to aim at.
    if (limit < 1 || samples.empty()) return std::nullopt;

    std::vector<const QualitySample*> fitting, over;
    for (const QualitySample& sample : samples) (sample.bytes <= limit ? fitting : over).push_back(&sample);

    const QualitySample* fit = pick(fitting, [](const QualitySample& a, const QualitySample& b) { return a.quality > b.quality; });
    if (fit && 0.9 * double(limit) <= double(fit->bytes)) return std::nullopt;

    const QualitySample* overSample = pick(over, [](const QualitySample& a, const QualitySample& b) { return a.quality < b.quality; });
    if (!overSample) return std::nullopt;
    if (overSample->quality <= 0.300000001) return std::nullopt;

    const double hi = std::floor((overSample->quality - 0.01) * 100 + 0.000001) / 100;
    const double lo = fit ? std::ceil((fit->quality + 0.01) * 100 - 0.000001) / 100 : 0.3;
    if (lo > hi) return std::nullopt;

    QualitySample upper = *overSample, lower = fit ? *fit : *overSample;
    if (!fit) {
        upper = samples.back();
        lower = samples.size() >= 2 ? samples[samples.size() - 2] : samples.back();
    }
    const double logUpper = std::log(double(upper.bytes));
    double slope = 5;
    if (std::fabs(upper.quality - lower.quality) >= 0.005) {
        const double candidate = (logUpper - std::log(double(lower.bytes))) / (upper.quality - lower.quality);
        if (std::isfinite(candidate) && candidate > 0) slope = candidate;
    }
    double guess = upper.quality - (logUpper - std::log(0.95 * double(limit))) / slope;
    guess = std::round(guess * 100) / 100;
    if (!std::isfinite(guess)) guess = lo;  // a zero-byte sample gives no prediction
    return std::min(hi, std::max(lo, guess));
}

namespace {

bool usableDuration(double seconds) { return seconds > 0 && std::isfinite(seconds); }

// 92 % of `maxBytes` over the duration, in bits per second.
double filled(std::int64_t maxBytes, double durationSeconds) { return double(maxBytes) * 8 / durationSeconds * 0.92; }

// Far beyond any encoder's range; keeps the conversion to an integer defined.
std::int64_t rateOf(double bits) { return std::int64_t(std::trunc(std::min(bits, 4e9))); }

}  // namespace

std::int64_t bitrate(std::int64_t maxBytes, double durationSeconds, bool hasAudio) {
    if (!usableDuration(durationSeconds)) return bitrateFloor;
    double bits = filled(maxBytes, durationSeconds);
    if (hasAudio) bits -= double(audioAllowance);
    return std::max(rateOf(bits), bitrateFloor);
}

double rateRatio(std::int64_t bytes, double durationSeconds, std::int64_t audioBitrate, std::int64_t videoBitrate) {
    if (!usableDuration(durationSeconds) || videoBitrate <= 0) return 1;
    const double videoBits = double(bytes) * 8 / durationSeconds - double(audioBitrate);
    return std::clamp(videoBits / double(videoBitrate), 0.5, 4.0);
}

namespace {

double bitsPerPixel(VideoCodec codec) { return codec == VideoCodec::hevc ? 0.01 : 0.015; }

// What a picture of `size` costs at `frameRate` (30 when unknown), in bits per second.
double pictureCost(PixelSize size, double frameRate, VideoCodec codec) {
    return double(size.width) * double(size.height) * (frameRate > 0 ? frameRate : 30) * bitsPerPixel(codec);
}

}  // namespace

PixelSize scaledSize(PixelSize size, std::int64_t bitsPerSecond, double frameRate, VideoCodec codec, int shortSide) {
    const double rate = frameRate > 0 ? frameRate : 30;
    const double width = size.width, height = size.height;
    const double area = width * height;
    const double budget = double(bitsPerSecond) / (rate * bitsPerPixel(codec));
    if (budget >= area) return size;

    double scale = std::sqrt(budget / area);
    const double floor = std::min(double(shortSide) / std::min(width, height), 1.0);
    scale = std::max(scale, floor);
    if (!(scale < 1)) return size;

    const auto side = [scale](double length) { return std::max(2, 2 * int((scale * length + 0.000001) / 2)); };
    return PixelSize{side(width), side(height)};
}

std::optional<BestEffort> bestEffort(const BestEffortSource& source, std::int64_t limit, double ratio) {
    if (!usableDuration(source.duration) || !(ratio > 0)) return std::nullopt;
    const double total = filled(limit, source.duration);
    // The smallest picture of the ordinary search: its floor, or the source's own size.
    const PixelSize floorPicture =
        source.keepDimensions ? source.naturalSize : scaledSize(source.naturalSize, 0, source.frameRate, source.codec);
    const auto share = [&](std::int64_t audio) { return (total - double(audio)) / ratio; };

    BestEffort plan;
    std::int64_t audio = 0;
    if (source.standardAudio > 0) {
        audio = std::min(source.standardAudio, loweredAudioBitrates.back());
        for (const std::int64_t rate : loweredAudioBitrates) {
            if (rate < source.standardAudio && share(rate) >= pictureCost(floorPicture, source.frameRate, source.codec)) {
                audio = rate;
                break;
            }
        }
        if (audio < source.standardAudio) plan.audioBitrate = audio;
    }
    const double video = std::max(share(audio), double(loweredVideoFloor));

    // Whole divisors drop frames evenly: the least that makes the picture fit, within the lowest rate.
    double frameRate = source.frameRate;
    if (std::isfinite(source.frameRate) && source.frameRate > lowestFrameRate) {
        const double needed = std::ceil(pictureCost(floorPicture, source.frameRate, source.codec) / video - 1e-9);
        const double divisor = std::min(needed, std::floor(source.frameRate / lowestFrameRate));
        if (divisor >= 2) plan.frameRate = frameRate = source.frameRate / divisor;
    }
    plan.videoBitrate = rateOf(video);
    plan.size = source.keepDimensions
                    ? source.naturalSize
                    : scaledSize(source.naturalSize, plan.videoBitrate, frameRate, source.codec, bestEffortShortSide);
    return plan;
}

}  // namespace dorvex::VideoProfile
