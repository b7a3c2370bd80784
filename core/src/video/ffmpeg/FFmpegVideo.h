#pragma once
// FFmpegVideo: what the video module does on FFmpeg's libraries, as the module's entry hands it
// to the engine (see video/VideoModule.h): reading a video's description, encoding one pass, and
// the first frame as a thumbnail. Inside the module these are called directly, never through the
// engine's public functions of the same meaning.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "dorvex/image/Thumbnail.h"
#include "video/VideoEncoder.h"
#include "video/VideoSource.h"

namespace dorvex::ffmpeg {

// VideoSource::load's work: the source's container and first video track described; throws VideoError.
VideoSource load(const std::filesystem::path& file);

// VideoEncoder::encode's work: one pass, every thread of it joined before this returns; throws VideoError.
std::int64_t encode(const VideoSource& source, const VideoEncodeSettings& settings, const std::filesystem::path& output,
                    double stallTimeoutSeconds, double watchdogIntervalSeconds,
                    const VideoEncoder::ProgressHandler& progress, const VideoEncoder::CancelQuery& isCancelled);

// The first decodable frame of `file`'s first video track, upright, at most `maxSide` pixels on
// its longer side; nullopt when there is none or `maxSide` is below 1. Never throws.
std::optional<Thumbnail> thumbnail(const std::filesystem::path& file, int maxSide);

}  // namespace dorvex::ffmpeg
