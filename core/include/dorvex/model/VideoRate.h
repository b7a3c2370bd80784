#pragma once
// VideoRate: how a video encode pass is driven — a quality from 0 to 1, or an average bit rate.

#include <cstdint>
#include <variant>

namespace dorvex {

struct VideoRate {
    struct Quality {
        double value;  // 0…1, higher is better
        bool operator==(const Quality&) const = default;
    };
    struct Bitrate {
        std::int64_t bitsPerSecond;
        bool operator==(const Bitrate&) const = default;
    };

    static VideoRate quality(double value) { return {Quality{value}}; }
    static VideoRate bitrate(std::int64_t bitsPerSecond) { return {Bitrate{bitsPerSecond}}; }

    std::variant<Quality, Bitrate> value;
    bool operator==(const VideoRate&) const = default;
};

}  // namespace dorvex
