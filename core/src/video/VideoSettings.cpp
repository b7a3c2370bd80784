#include "video/VideoSettings.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace dorvex::VideoSettings {

namespace {

// crf(q) = intercept − slope × q. x264's line is the anchor: 18, which x264 documents as visually
// lossless, at level 1 and its default 23 at level 3, about 2.6 apart per level. x265's line gives
// the same SSIM as x264 at every level, measured on clips stored losslessly (a detailed landscape
// panned and zoomed, a phone photo panned with film grain, a moving fractal), so that neither
// encoder is compared with the other's artefacts. Per level:
//   x264  18.1 20.7 23.2 25.8 28.3 30.8
//   x265  18.4 21.2 24.0 26.9 29.7 32.5
// At the same SSIM x265 needs 0.5–1.0× x264's bytes (about 0.7× on the landscape). Measured with
// `VideoBench ratefactor` and checked with `VideoBench levels`.
struct RateFactorLine {
    double intercept;
    double slope;
};

RateFactorLine lineOf(VideoCodec codec) {
    return codec == VideoCodec::hevc ? RateFactorLine{52.3, 47.1} : RateFactorLine{48.6, 42.3};
}

constexpr std::array<int, 13> aacRates{7350, 8000, 11025, 12000, 16000, 22050, 24000,
                                       32000, 44100, 48000, 64000, 88200, 96000};

}  // namespace

double constantRateFactor(VideoCodec codec, double quality) {
    const double q = std::isfinite(quality) ? std::clamp(quality, 0.0, 1.0) : 0.0;
    const RateFactorLine line = lineOf(codec);
    return std::clamp(line.intercept - line.slope * q, 0.0, 51.0);
}

// Chosen on size at equal SSIM against time (`VideoBench presets`, a 1080p clip with the ffmpeg
// tool): x265 "fast" is about 6 % smaller than "veryfast" at equal quality for about a quarter more
// time, and "medium" gains about 5 % more for as much time again; x264 "medium" is up to 5 %
// smaller than "fast" at equal quality for about a fifth more time, and x264 is quick anyway.
PixelSize encodedSize(PixelSize asked) {
    return PixelSize{std::max(2, asked.width & ~1), std::max(2, asked.height & ~1)};
}

std::string_view encoderPreset(VideoCodec codec) { return codec == VideoCodec::hevc ? "fast" : "medium"; }

std::string_view encoderName(VideoCodec codec) { return codec == VideoCodec::hevc ? "libx265" : "libx264"; }

int audioChannels(int sourceChannels) { return std::clamp(sourceChannels, 1, 2); }

int audioSampleRate(double sourceRate) {
    constexpr int highest = 48000;
    if (!(sourceRate > 0)) return highest;
    const double capped = std::min(sourceRate, double(highest));
    for (int rate : aacRates) {
        if (rate >= capped - 0.5) return rate;
    }
    return highest;
}

std::int64_t aacBitrate(int sampleRate, int channels) {
    constexpr std::int64_t preferred = 128000;
    if (sampleRate <= 0 || channels <= 0) return preferred;
    const std::int64_t most = std::int64_t(6144) * channels * sampleRate / 1024;
    return std::min(preferred, most);
}

AudioShape audioShape(int sourceChannels, double sourceRate, std::optional<std::int64_t> lowered) {
    AudioShape shape{audioChannels(sourceChannels), audioSampleRate(sourceRate), 0};
    shape.bitrate = aacBitrate(shape.sampleRate, shape.channels);
    if (lowered && *lowered > 0 && *lowered < shape.bitrate) {
        constexpr std::int64_t monoBelow = 48000;
        constexpr std::int64_t narrowFrom = 16000;  // and the sample rate at which it narrows
        if (*lowered < monoBelow) shape.channels = 1;
        if (*lowered <= narrowFrom) shape.sampleRate = std::min(shape.sampleRate, int(narrowFrom));
        shape.bitrate = std::min(*lowered, aacBitrate(shape.sampleRate, shape.channels));
    }
    return shape;
}

}  // namespace dorvex::VideoSettings
