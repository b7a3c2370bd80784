#include "image/PngRows.h"

#include <png.h>

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace dorvex::PngRows {

namespace fs = std::filesystem;

namespace {

// libpng's state for one file. The reading runs in a function of its own (decode), so that
// nothing of the caller's lives between setjmp and a longjmp out of libpng.
struct Reading {
    std::FILE* stream = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    const RgbaBuffer& into;
    const CancelQuery& isCancelled;
    std::vector<png_byte> row;  // where dropped rows go
    PixelSize size;

    Reading(const fs::path& file, const RgbaBuffer& buffer, const CancelQuery& cancelled)
        : stream(std::fopen(file.c_str(), "rbe")), into(buffer), isCancelled(cancelled) {
        if (stream == nullptr) return;
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, fail, ignore);
        if (png != nullptr) info = png_create_info_struct(png);
    }
    ~Reading() {
        if (png != nullptr) png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
        if (stream != nullptr) std::fclose(stream);
    }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

    static void fail(png_structp reading, png_const_charp) { png_longjmp(reading, 1); }
    static void ignore(png_structp, png_const_charp) {}
};

bool decode(Reading& r) {
    if (r.info == nullptr) return false;
    if (setjmp(png_jmpbuf(r.png)) != 0) return false;
    png_init_io(r.png, r.stream);
    png_read_info(r.png, r.info);
    const png_uint_32 width = png_get_image_width(r.png, r.info);
    const png_uint_32 height = png_get_image_height(r.png, r.info);
    if (r.into) {
        const int colour = png_get_color_type(r.png, r.info);
        if (png_get_bit_depth(r.png, r.info) != 8 || (colour != PNG_COLOR_TYPE_RGB && colour != PNG_COLOR_TYPE_RGBA)) {
            return false;
        }
        if (colour == PNG_COLOR_TYPE_RGB) png_set_filler(r.png, 0xFF, PNG_FILLER_AFTER);
    }
    const int passes = png_set_interlace_handling(r.png);
    png_read_update_info(r.png, r.info);
    const std::size_t rowBytes = png_get_rowbytes(r.png, r.info);
    r.size = PixelSize{int(width), int(height)};

    png_bytep rows = nullptr;
    std::size_t stride = 0;
    if (r.into) {
        if (rowBytes != std::size_t{width} * 4) return false;
        rows = r.into(r.size);
        if (rows == nullptr) return false;
        stride = rowBytes;  // an interlaced file fills in each row pass by pass
    } else {
        r.row.resize(rowBytes);
        rows = r.row.data();
    }
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            if (y % 64 == 0 && r.isCancelled && r.isCancelled()) return false;
            png_read_row(r.png, rows + y * stride, nullptr);
        }
    }
    png_read_end(r.png, nullptr);
    return true;
}

}  // namespace

std::optional<PixelSize> read(const fs::path& file, const RgbaBuffer& into, const CancelQuery& isCancelled) {
    Reading reading(file, into, isCancelled);
    if (!decode(reading)) return std::nullopt;
    return reading.size;
}

}  // namespace dorvex::PngRows
