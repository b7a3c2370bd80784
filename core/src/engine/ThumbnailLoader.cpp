#include "dorvex/engine/ThumbnailLoader.h"

#include "dorvex/model/FileType.h"
#include "dorvex/model/OutputFormat.h"
#include "engine/worker/WorkerPool.h"

namespace dorvex {

std::optional<Thumbnail> ThumbnailLoader::load(const std::filesystem::path& file, int maxSide) {
    const OutputFormat kind = OutputFormat::original(FileType::fromPath(file));
    if (kind.isPDF() || maxSide < 1) return std::nullopt;
    return WorkerPool::thumbnail(file, maxSide);
}

}  // namespace dorvex
