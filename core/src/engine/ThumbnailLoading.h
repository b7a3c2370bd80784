#pragma once
// ThumbnailLoading: a thumbnail made in this process, as a worker makes it for ThumbnailLoader.

#include <filesystem>
#include <optional>

#include "dorvex/image/Thumbnail.h"

namespace dorvex::ThumbnailLoading {

// What ThumbnailLoader::load promises, decoded here.
std::optional<Thumbnail> here(const std::filesystem::path& file, int maxSide);

}  // namespace dorvex::ThumbnailLoading
