#include "image/OutputCheck.h"

#include <png.h>
#include <vips/vips8>

#include <csetjmp>
#include <cstdio>
#include <system_error>
#include <vector>

#include "dorvex/image/VipsRuntime.h"
#include "dorvex/image/encoders/IcnsFile.h"

namespace dorvex::OutputCheck {

namespace fs = std::filesystem;

namespace {

// One PNG read through libpng. The reading runs in its own function, so that nothing of the
// caller's lives between setjmp and a longjmp from libpng.
struct PngReading {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::FILE* stream = nullptr;
    std::vector<png_byte> row;
    PixelSize size;

    PngReading(const PngReading&) = delete;
    PngReading& operator=(const PngReading&) = delete;
    explicit PngReading(const fs::path& file) : stream(std::fopen(file.c_str(), "rbe")) {
        if (stream == nullptr) return;
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, fail, ignore);
        if (png != nullptr) info = png_create_info_struct(png);
    }
    ~PngReading() {
        if (png != nullptr) png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
        if (stream != nullptr) std::fclose(stream);
    }

    static void fail(png_structp reading, png_const_charp) { png_longjmp(reading, 1); }
    static void ignore(png_structp, png_const_charp) {}
};

// Every row of every pass, then the chunks after the image data up to IEND (their CRCs checked).
bool readRows(PngReading& reading) {
    if (reading.info == nullptr) return false;
    if (setjmp(png_jmpbuf(reading.png)) != 0) return false;
    png_init_io(reading.png, reading.stream);
    png_read_info(reading.png, reading.info);
    const int passes = png_set_interlace_handling(reading.png);
    png_read_update_info(reading.png, reading.info);
    reading.row.resize(png_get_rowbytes(reading.png, reading.info));
    const png_uint_32 height = png_get_image_height(reading.png, reading.info);
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) png_read_row(reading.png, reading.row.data(), nullptr);
    }
    png_read_end(reading.png, nullptr);
    reading.size = PixelSize{int(png_get_image_width(reading.png, reading.info)), int(height)};
    return true;
}

// The size of the picture the file holds, every pixel decoded on the way; nothing when it does
// not decode. Icon families go through our reader; PNGs (our outputs are upright) through libpng,
// a tenth of the CPU time of a libvips pipeline for the small files pngquant writes; everything
// else through libvips's loaders chosen by content (the first page of a TIFF, the primary image
// of a HEIF), upright.
std::optional<PixelSize> decodedSize(const fs::path& file) {
    if (file.extension() == ".png") {
        PngReading reading(file);
        if (!readRows(reading)) return std::nullopt;
        return reading.size;
    }
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
        const vips::VImage image = vips::VImage::new_from_file(
            file.c_str(),
            vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_TRUNCATED));
        image.avg();  // reads every pixel once, in one streaming pass
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
