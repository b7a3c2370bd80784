#pragma once
// VideoProfile: the numbers of the video rate search — the quality of a level, the key-frame
// interval, the next quality to try from the sizes seen so far, the bit rate that fits a byte
// budget, and the pixel size that a bit rate can carry. Pure functions; the compressor and the
// tests read the same constants.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "dorvex/model/OutputFormat.h"
#include "dorvex/model/PixelSize.h"

namespace dorvex::VideoProfile {

inline constexpr double stallTimeoutSeconds = 60;
inline constexpr double watchdogIntervalSeconds = 0.25;
inline constexpr int maxQualityAttempts = 3;   // after the first encode
inline constexpr int maxBitrateAttempts = 3;
inline constexpr std::int64_t bitrateFloor = 50000;     // bits per second
inline constexpr std::int64_t audioAllowance = 128000;  // bits per second
inline constexpr int minimumShortSide = 240;             // pixels
// When the search ends over the limit because of the audio's share: the AAC rates of the attempts
// made after it (bits per second), and the least video rate worth an attempt beside them.
inline constexpr std::array<std::int64_t, 2> loweredAudioBitrates{64000, 32000};
inline constexpr int maxLoweredAudioAttempts = 2;
inline constexpr std::int64_t loweredVideoFloor = 4000;

struct QualitySample {
    double quality;
    std::int64_t bytes;
    bool operator==(const QualitySample&) const = default;
};

// 0.78 − 0.06 × level, within 0.05…1.
double quality(double level);

// Ten seconds of frames: the rate rounded (at least 1) times 10; 300 when the rate is unusable.
int keyFrameInterval(double frameRate);

// The next quality to try against `limit`, or nullopt when the search should stop: the best
// fitting sample is within 10 % of the limit, nothing is over it, the over-limit side is already
// at 0.3 or below, or no grid quality is left between the two sides. Predicted on a log-linear
// model of size against quality through the two nearest samples (slope 5 when only one is known).
std::optional<double> nextQuality(const std::vector<QualitySample>& samples, std::int64_t limit);

// The average bit rate that fills 92 % of `maxBytes` over `durationSeconds`, less the audio
// allowance when there is audio; never below the floor.
std::int64_t bitrate(std::int64_t maxBytes, double durationSeconds, bool hasAudio);

// Whether the audio is what keeps the smallest attempt over `limit`: at `audioBitrate` it leaves
// the video less than the bit-rate floor of 92 % of the limit, or the attempt is over by less than
// lowering it to the last of loweredAudioBitrates would save over the duration.
bool audioDefeats(std::int64_t smallestBytes, std::int64_t limit, double durationSeconds, std::int64_t audioBitrate);

// How far an average-bit-rate pass was from its video target: the video's bits per second (the
// file less `audioBitrate`) over `videoBitrate`, within 0.5…4 (an undershoot is trusted only in
// part); 1 when it cannot be told.
double rateRatio(std::int64_t bytes, double durationSeconds, std::int64_t audioBitrate, std::int64_t videoBitrate);

// The video bit rate beside audio at `audioBitrate`: what fills 92 % of `maxBytes` over the
// duration, divided by the encoder's `ratio`; nullopt when the audio leaves less than
// loweredVideoFloor.
std::optional<std::int64_t> bitrateBesideAudio(std::int64_t maxBytes, double durationSeconds, std::int64_t audioBitrate,
                                               double ratio);

// The largest size (even sides, short side not below 240 unless the source is smaller) that
// `bitsPerSecond` can carry at 0.01 (HEVC) or 0.015 (H.264) bits per pixel and frame; `size`
// itself when it fits.
PixelSize scaledSize(PixelSize size, std::int64_t bitsPerSecond, double frameRate, VideoCodec codec);

}  // namespace dorvex::VideoProfile
