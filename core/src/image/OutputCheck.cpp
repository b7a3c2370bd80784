#include "image/OutputCheck.h"

#include <vips/vips8>

#include <string_view>
#include <system_error>

#include "dorvex/image/Thumbnail.h"
#include "image/VipsRuntime.h"
#include "image/encoders/IcnsFile.h"
#include "image/PngRows.h"

namespace dorvex::OutputCheck {

namespace fs = std::filesystem;

namespace {

// The size of the picture the file holds, all its data decoded on the way; nothing when it does
// not decode. Icon families go through our reader; PNGs (our outputs are upright) through libpng,
// a tenth of the CPU time of a libvips pipeline for the small files pngquant writes; everything
// else through libvips's loaders chosen by content (the first page of a TIFF, the primary image
// of a HEIF), upright. A JPEG is decoded at an eighth of its size (libjpeg's DCT scaling), which
// still reads every coefficient of every scan, so a damaged or cut-off stream fails alike, for a
// fifth of the time of the whole picture; by less where a side is under 8 pixels, as a shrink to
// nothing is no picture (a 1×1 JPEG is decoded whole).
std::optional<PixelSize> decodedSize(const fs::path& file) {
    if (file.extension() == ".png") return PngRows::read(file);
    if (file.extension() == ".icns") {
        try {
            const std::optional<Picture> largest = IcnsFile::read(file).decodeLargest();
            if (!largest) return std::nullopt;
            return largest->size();
        } catch (const IcnsError&) {
            return std::nullopt;
        }
    }
    VipsRuntime::start();
    try {
        const auto options = [] {
            return vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
        };
        const vips::VImage image = vips::VImage::new_from_file(file.c_str(), options());
        const char* loader = nullptr;
        if (vips_image_get_string(image.get_image(), VIPS_META_LOADER, &loader) == 0 && loader != nullptr &&
            std::string_view(loader) == "jpegload") {
            const int shrink = jpegDecodeShrink(PixelSize{image.width(), image.height()}, PixelSize{1, 1});
            vips::VImage::jpegload(file.c_str(), options()->set("shrink", shrink)).avg();
        } else {
            image.avg();  // reads every pixel once, in one streaming pass
        }
        // A TIFF keeps its pages as stored, with their orientation tag: what it shows is upright.
        const int orientation = image.get_typeof("orientation") == G_TYPE_INT ? image.get_int("orientation") : 1;
        if (orientation >= 5 && orientation <= 8) return PixelSize{image.height(), image.width()};
        return PixelSize{image.width(), image.height()};
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> problem(const fs::path& file, PixelSize expected) {
    std::error_code error;
    const auto bytes = fs::file_size(file, error);
    if (error) return "it is missing";
    if (bytes == 0) return "it is empty";
    const std::optional<PixelSize> size = decodedSize(file);
    if (!size) return "it does not decode";
    if (*size != expected) return "it holds " + size->description() + " pixels, not " + expected.description();
    return std::nullopt;
}

}  // namespace dorvex::OutputCheck
