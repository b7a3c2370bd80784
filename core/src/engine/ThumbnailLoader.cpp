#include "dorvex/engine/ThumbnailLoader.h"

#include "dorvex/model/FileType.h"
#include "dorvex/model/OutputFormat.h"
#include "video/VideoModule.h"

namespace dorvex::ThumbnailLoader {

std::optional<Thumbnail> load(const std::filesystem::path& file, int maxSide) {
    const OutputFormat kind = OutputFormat::original(FileType::fromPath(file));
    if (kind.isPDF()) return std::nullopt;
    return kind.isVideo() ? VideoModule::thumbnail(file, maxSide) : imageThumbnail(file, maxSide);
}

}  // namespace dorvex::ThumbnailLoader
