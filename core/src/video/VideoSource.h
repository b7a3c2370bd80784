#pragma once
// VideoSource: what one probe of a video file learns — size on disk, playing time, the coded
// picture size and the display transform, frame rate, transfer function and the shape of the
// audio — as one immutable record for the encode pass and the rate search. VideoError is the one
// error of the video code; its text is what the user sees.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "dorvex/model/PixelSize.h"

namespace dorvex {

struct VideoError : std::runtime_error {
    enum class Kind { unreadable, encodeFailed, noVideoTrack, cancelled, unavailable };

    // "无法读取这个视频（<detail>）"
    static VideoError unreadable(const std::string& detail);
    // "视频编码失败（<detail>）"
    static VideoError encodeFailed(const std::string& detail);
    // "这个文件没有视频画面"
    static VideoError noVideoTrack();
    // "已取消"
    static VideoError cancelled();
    // The video module cannot be loaded: "视频组件无法使用（<detail>）"
    static VideoError unavailable(const std::string& detail);

    Kind kind;
    std::string detail;  // empty for the cases without one

    bool operator==(const VideoError& other) const { return kind == other.kind && detail == other.detail; }

private:
    VideoError(Kind errorKind, std::string errorDetail, const std::string& text)
        : std::runtime_error(text), kind(errorKind), detail(std::move(errorDetail)) {}
};

// A track's display transform, as in a movie header's matrix: a point (x, y) of the stored
// picture is shown at (a·x + c·y + tx, b·x + d·y + ty).
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    bool operator==(const AffineTransform&) const = default;
};

struct VideoSource {
    std::filesystem::path url;
    std::int64_t byteCount = 0;  // 0 when the size cannot be read
    double duration = 0;         // seconds; finite and positive for a loaded source
    PixelSize naturalSize;       // coded size, before the display transform
    AffineTransform transform;
    double frameRate = 0;        // nominal frames per second; 0 when unknown
    std::optional<std::string> transferFunction;  // FFmpeg's name: "bt709", "arib-std-b67", "smpte2084", …
    int audioChannels = 0;       // 0 without audio
    double audioSampleRate = 0;  // Hz; 0 without audio

    bool operator==(const VideoSource&) const = default;

    // `size` as shown on screen: the rectangle mapped through the transform, absolute values,
    // rounded. A quarter turn swaps width and height.
    PixelSize displaySize(PixelSize size) const;
    PixelSize displaySize() const { return displaySize(naturalSize); }
    bool hasAudio() const { return audioChannels > 0; }
    // HLG or PQ.
    bool isHDR() const;

    // Probes `file`: readable, a video stream, the duration (container, then stream), the coded
    // size, the display transform, the frame rate, the transfer function, the audio and the file
    // size, in that order. Throws VideoError.
    static VideoSource load(const std::filesystem::path& file);
};

// The transfer-function names that mean HDR.
inline constexpr const char* transferHLG = "arib-std-b67";
inline constexpr const char* transferPQ = "smpte2084";
inline constexpr const char* transferBT709 = "bt709";

}  // namespace dorvex
