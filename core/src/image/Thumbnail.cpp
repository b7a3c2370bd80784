#include "dorvex/image/Thumbnail.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "dorvex/image/SourceImage.h"
#include "image/VipsPicture.h"

namespace dorvex {

std::optional<Thumbnail> imageThumbnail(const std::filesystem::path& file, int maxSide) {
    if (maxSide < 1) return std::nullopt;
    try {
        SourceImage source(file);
        const PixelSize size = thumbnailSize(source.pixelSize, maxSide);
        const vips::VImage& image = vipsImage(source.render(size));
        std::size_t length = 0;
        void* memory = image.write_to_memory(&length);
        const auto* bytes = static_cast<const std::uint8_t*>(memory);
        Thumbnail thumbnail{image.width(), image.height(), std::vector<std::uint8_t>(bytes, bytes + length)};
        g_free(memory);
        if (thumbnail.rgba.size() != std::size_t(thumbnail.width) * std::size_t(thumbnail.height) * 4) {
            return std::nullopt;
        }
        return thumbnail;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace dorvex
