#include "engine/ThumbnailLoading.h"

#include "dorvex/model/FileType.h"
#include "dorvex/model/OutputFormat.h"
#include "video/VideoModule.h"

namespace dorvex {

std::optional<Thumbnail> ThumbnailLoading::here(const std::filesystem::path& file, int maxSide) {
    const OutputFormat kind = OutputFormat::original(FileType::fromPath(file));
    if (kind.isPDF() || maxSide < 1) return std::nullopt;
    return kind.isVideo() ? VideoModule::thumbnail(file, maxSide) : imageThumbnail(file, maxSide);
}

}  // namespace dorvex
