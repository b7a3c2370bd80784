#include "dorvex/image/Thumbnail.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "image/SourceImage.h"
#include "image/VipsRuntime.h"
#include "dorvex/model/SourceFile.h"
#include "image/VipsPicture.h"

namespace dorvex {

namespace {

// The bytes of an 8-bit sRGB RGBA image; nullopt when they do not add up to its size.
std::optional<Thumbnail> fromImage(const vips::VImage& image, int decodeShrink) {
    std::size_t length = 0;
    void* memory = image.write_to_memory(&length);
    const auto* bytes = static_cast<const std::uint8_t*>(memory);
    Thumbnail thumbnail{image.width(), image.height(), std::vector<std::uint8_t>(bytes, bytes + length),
                        decodeShrink};
    g_free(memory);
    if (thumbnail.rgba.size() != std::size_t(thumbnail.width) * std::size_t(thumbnail.height) * 4) return std::nullopt;
    return thumbnail;
}

// A JPEG read at a fraction of its size: libjpeg scales by 2, 4 or 8 while decoding, so a 50 MP
// photo's thumbnail never holds its full pixels. libvips' thumbnail then turns it upright (the
// EXIF orientation) and resamples to the exact size, and the pixels become sRGBA as every
// decoded source does. nullopt when the file is no JPEG, is beyond what SourceImage reads or the
// decoder balks (SourceImage says why).
std::optional<Thumbnail> shrunkJpeg(const std::filesystem::path& file, int maxSide) {
    if (SourceFile::imageType(file) != FileType::jpeg) return std::nullopt;
    VipsRuntime::start();
    const auto options = [] {
        return vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
    };
    const vips::VImage header = vips::VImage::jpegload(file.c_str(), options());
    const PixelSize stored{header.width(), header.height()};
    if (std::max(stored.width, stored.height) > SourceImage::maxSide ||
        std::int64_t(stored.width) * stored.height > SourceImage::maxPixelCount) {
        return std::nullopt;
    }
    const int orientation = header.get_typeof(VIPS_META_ORIENTATION) != 0 ? header.get_int(VIPS_META_ORIENTATION) : 1;
    const bool turned = orientation >= 5 && orientation <= 8;
    const PixelSize upright = turned ? PixelSize{stored.height, stored.width} : stored;
    const PixelSize target = thumbnailSize(upright, maxSide);
    const int shrink = jpegDecodeShrink(upright, target);
    vips::VImage image = vips::VImage::jpegload(file.c_str(), options()->set("shrink", shrink));
    // Scaled to exactly the target: thumbnail_image swaps it for a turned picture itself.
    image = image.thumbnail_image(target.width, vips::VImage::option()
                                                    ->set("height", target.height)
                                                    ->set("size", VIPS_SIZE_FORCE)
                                                    ->set("intent", VIPS_INTENT_RELATIVE));
    image = toSRGBA(image);
    if (image.width() != target.width || image.height() != target.height) return std::nullopt;
    return fromImage(image, shrink);
}

}  // namespace

int jpegDecodeShrink(PixelSize size, PixelSize target) {
    int shrink = 8;
    while (shrink > 1 && (size.width / shrink < target.width || size.height / shrink < target.height)) shrink /= 2;
    return shrink;
}

std::optional<Thumbnail> imageThumbnail(const std::filesystem::path& file, int maxSide) {
    if (maxSide < 1) return std::nullopt;
    try {
        if (auto shrunk = shrunkJpeg(file, maxSide)) return shrunk;
    } catch (const vips::VError&) {
        vips_error_clear();  // read the whole picture instead, as SourceImage reads every file
    } catch (const std::exception&) {
    }
    try {
        // Shown on screens that take sRGB: a picture kept in its own colour space is converted.
        SourceImage source(file);
        const Picture picture = source.render(thumbnailSize(source.pixelSize, maxSide));
        return fromImage(toSRGBA(vipsImage(picture), source.colourProfile), 1);
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace dorvex
