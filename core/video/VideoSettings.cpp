#include "VideoSettings.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace dorvex::VideoSettings {

namespace {

// crf(q) = intercept − slope × q, fitted to the rate factors at which each level's quality meets
// its SSIM target (levels 1…6: 23.4, 21.8, 20.2, 18.6, 17.0, 15.4 dB of SSIM, the ladder that
// x264's customary anchors — 18 transparent, 23 its default — give on the test clips). Per level:
//   x264  18.1 20.6 23.2 25.7 28.3 30.8
//   x265  15.0 18.3 21.6 24.9 28.1 31.4
// x265 needs the lower factors for the same SSIM at the top of the scale; at the bottom the two
// meet. Measured with `VideoBench ratefactor` and checked with `VideoBench levels`.
struct RateFactorLine {
    double intercept;
    double slope;
};

RateFactorLine lineOf(VideoCodec codec) {
    return codec == VideoCodec::hevc ? RateFactorLine{54.4, 54.7} : RateFactorLine{48.6, 42.3};
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

}  // namespace dorvex::VideoSettings
