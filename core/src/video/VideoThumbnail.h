#pragma once
// VideoThumbnail: private to the engine. The first frame of a video as a Thumbnail, decoded with
// FFmpeg and turned by the track's display transform, as a player shows it.

#include <filesystem>
#include <optional>

#include "dorvex/image/Thumbnail.h"

namespace dorvex {

// The first decodable frame of `file`'s first video track, upright, at most `maxSide` pixels on
// its longer side; nullopt when there is none or `maxSide` is below 1. Never throws.
std::optional<Thumbnail> videoThumbnail(const std::filesystem::path& file, int maxSide);

}  // namespace dorvex
