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
// The best effort after a search that ended over the limit: the AAC rates it may lower the audio
// to, highest first (bits per second; the last is written at 16 kHz at most); the lowest frame
// rate it lowers a faster source to; the short side it may shrink the picture to; the least video
// rate it asks for; and the attempts it may add.
inline constexpr std::array<std::int64_t, 3> loweredAudioBitrates{64000, 32000, 12000};
inline constexpr double lowestFrameRate = 12;
inline constexpr int bestEffortShortSide = 144;  // pixels
inline constexpr std::int64_t loweredVideoFloor = 4000;
inline constexpr int maxBestEffortAttempts = 3;

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

// How far an average-bit-rate pass was from its video target: the video's bits per second (the
// file less `audioBitrate`) over `videoBitrate`, within 0.5…4 (an undershoot is trusted only in
// part); 1 when it cannot be told.
double rateRatio(std::int64_t bytes, double durationSeconds, std::int64_t audioBitrate, std::int64_t videoBitrate);

// What a best-effort attempt asks for.
struct BestEffort {
    std::optional<std::int64_t> audioBitrate;  // none: the standard audio (or none at all)
    std::optional<double> frameRate;           // none: the source's
    PixelSize size;                            // coded size, in the source's stored orientation
    std::int64_t videoBitrate = 0;             // bits per second
    bool operator==(const BestEffort&) const = default;
};

// What the best effort knows of the source and the job.
struct BestEffortSource {
    PixelSize naturalSize;
    double frameRate = 0;  // 0: unknown
    double duration = 0;   // seconds
    std::int64_t standardAudio = 0;  // the AAC rate of an ordinary pass; 0 without audio
    VideoCodec codec = VideoCodec::hevc;
    bool keepDimensions = false;
};

// The next best-effort attempt at `limit`, given how far the encoder was from its video target on
// the last pass (`ratio`, see rateRatio): 92 % of the limit over the duration, shared out in this
// order until the video's share carries the picture (at the bits per pixel of scaledSize):
//  1. the audio, lowered to the first of loweredAudioBitrates below the standard rate that leaves
//     room for the smallest picture of the ordinary search at the source's frame rate, or else to
//     the last of them;
//  2. the frame rate, divided by the least whole number that makes that picture fit, not below
//     lowestFrameRate (a slower source keeps its rate);
//  3. the picture, the largest that the video's share carries at that frame rate, its short side
//     not below bestEffortShortSide (the source's own size when its dimensions are kept).
// The video rate is that share divided by `ratio`, at least loweredVideoFloor. Nullopt when the
// duration is unusable.
std::optional<BestEffort> bestEffort(const BestEffortSource& source, std::int64_t limit, double ratio);

// The largest size (even sides, short side not below `shortSide` unless the source is smaller)
// that `bitsPerSecond` can carry at 0.01 (HEVC) or 0.015 (H.264) bits per pixel and frame; `size`
// itself when it fits.
PixelSize scaledSize(PixelSize size, std::int64_t bitsPerSecond, double frameRate, VideoCodec codec,
                     int shortSide = minimumShortSide);

}  // namespace dorvex::VideoProfile
