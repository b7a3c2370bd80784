#pragma once
// ThumbnailLoader: the engine's one way to a small picture of any file it takes — an image
// through libvips (and our own readers), a video's first frame through FFmpeg — classified by
// the file's extension, as Compressor does, and decoded in a worker process (see Compressor).
// Safe to call from any thread.

#include <filesystem>
#include <optional>

#include "dorvex/image/Thumbnail.h"

namespace dorvex::ThumbnailLoader {

// `file` upright, at most `maxSide` pixels on its longer side; nullopt for a PDF, a file that
// cannot be read, or `maxSide` below 1. Never throws.
std::optional<Thumbnail> load(const std::filesystem::path& file, int maxSide);

}  // namespace dorvex::ThumbnailLoader
