#pragma once
// CompressionEvent: what a running job reports to its observer. Not stored.

#include <cstdint>
#include <functional>
#include <optional>
#include <variant>

#include "dorvex/model/PixelSize.h"
#include "dorvex/model/VideoRate.h"

namespace dorvex {

struct CompressionEvent {
    // The source has been read.
    struct Started {
        PixelSize sourcePixelSize;
        bool operator==(const Started&) const = default;
    };
    // After every image encode; `index` numbers a job's encodes from 0.
    struct Attempt {
        int index;
        int quality;
        std::optional<PixelSize> pixelSize;  // none: the source size
        std::optional<std::int64_t> bytes;   // none: that encode failed
        bool operator==(const Attempt&) const = default;
    };
    // During a long encode pass (video).
    struct Progress {
        int index;
        double fraction;  // 0…1
        bool operator==(const Progress&) const = default;
    };
    // After every video encode pass.
    struct VideoAttempt {
        int index;
        VideoRate rate;
        std::optional<PixelSize> pixelSize;
        std::optional<std::int64_t> bytes;
        // The AAC bit rate of a pass that lowered the audio to meet a limit; none: the standard audio.
        std::optional<std::int64_t> audioBitrate = std::nullopt;
        // The frame rate of a pass that dropped frames to meet a limit; none: the source's.
        std::optional<double> frameRate = std::nullopt;
        bool operator==(const VideoAttempt&) const = default;
    };

    std::variant<Started, Attempt, Progress, VideoAttempt> value;
    bool operator==(const CompressionEvent&) const = default;
};

// The observer of a job's events; may be called from any thread.
using EventHandler = std::function<void(const CompressionEvent&)>;

}  // namespace dorvex
