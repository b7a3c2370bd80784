#pragma once
// VideoEncodeSettings: what one encode pass is asked for — codec, rate and coded pixel size —
// and the table that turns it into encoder parameters: the constant-rate factor of a quality,
// the encoder speed preset, and the shape and bit rate of the AAC audio. Code and tests read the
// same table.

#include <cstdint>
#include <optional>
#include <string_view>

#include "dorvex/model/OutputFormat.h"
#include "dorvex/model/PixelSize.h"
#include "dorvex/model/VideoRate.h"

namespace dorvex {

struct VideoEncodeSettings {
    VideoCodec codec = VideoCodec::hevc;
    VideoRate rate = VideoRate::quality(0.6);
    PixelSize pixelSize;  // coded size, in the source's stored orientation
    // An AAC bit rate below the standard one (bits per second), asked for when the audio keeps a
    // file over its byte limit; none: the standard audio (VideoSettings::audioShape).
    std::optional<std::int64_t> audioBitrate = std::nullopt;
    // A frame rate below the source's, frames dropped to meet a byte limit; none: the source's.
    std::optional<double> frameRate = std::nullopt;
    bool operator==(const VideoEncodeSettings&) const = default;
};

namespace VideoSettings {

// The constant-rate factor (x265 or x264 scale, 0…51) for a quality of 0…1: linear and falling,
// so a higher quality never gives a smaller file; the very lowest qualities of HEVC meet the
// encoder's limit of 51. Qualities outside 0…1 are clamped.
double constantRateFactor(VideoCodec codec, double quality);

// The coded size a pass writes for an asked size: 4:2:0 pictures need even sides, so an odd
// side loses its last row or column (at least 2 × 2).
PixelSize encodedSize(PixelSize asked);

// The encoder speed preset ("fast", …) used for every pass of a codec.
std::string_view encoderPreset(VideoCodec codec);

// FFmpeg's name of the encoder of a codec: "libx265", "libx264".
std::string_view encoderName(VideoCodec codec);

// Audio is written with at most two channels …
int audioChannels(int sourceChannels);
// … at the source's rate, but at most 48 kHz, and at a rate AAC knows (the next one up).
int audioSampleRate(double sourceRate);
// The AAC bit rate: 128 kbit/s, or less where the encoder cannot spend that much on so few
// channels and samples (6144 bits per channel per 1024-sample frame).
std::int64_t aacBitrate(int sampleRate, int channels);

// The AAC track a pass writes of a source's audio.
struct AudioShape {
    int channels = 2;
    int sampleRate = 48000;
    std::int64_t bitrate = 128000;
    bool operator==(const AudioShape&) const = default;
};

// The channels, sample rate and bit rate above; a `lowered` rate replaces the bit rate when it is
// lower, below 48 kbit/s the track is mono (one channel carries more at such rates), and at
// 16 kbit/s or less it is sampled at 16 kHz at most (AAC's frames at 48 kHz cost more than that).
AudioShape audioShape(int sourceChannels, double sourceRate, std::optional<std::int64_t> lowered = std::nullopt);

}  // namespace VideoSettings
}  // namespace dorvex
