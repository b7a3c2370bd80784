#include "image/encoders/Intermediate.h"

#include <vips/vips8>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dorvex/platform/FileDescriptor.h"
#include "platform/WorkFolder.h"
#include "dorvex/image/ToolError.h"
#include "image/VipsMetadata.h"
#include "image/VipsPicture.h"
#include "platform/CopyBytes.h"
#include "image/VipsRuntime.h"

namespace dorvex::Intermediate {

namespace {

bool isRGBA8(const vips::VImage& image) {
    return image.bands() == 4 && image.format() == VIPS_FORMAT_UCHAR;
}

}  // namespace

void writePNG(const Picture& picture, const std::filesystem::path& file) { writePNGWithProfile(picture, file, {}); }

void writePNGWithProfile(const Picture& picture, const std::filesystem::path& file, const ImageMetadata::Bytes& profile) {
    if (picture.isNull() || !isRGBA8(vipsImage(picture))) throw ToolError::writeFailed(file);
    VipsRuntime::start();
    // libvips makes the file by name with the default mode: it is made private first.
    if (!WorkFolder::makePrivateFile(file)) throw ToolError::writeFailed(file);
    try {
        // Level 1 with the "up" filter: on a 12 MP photograph about three times faster than
        // libvips's default (level 6, no filter) and smaller too. The file is temporary anyway.
        vips::VImage image = vipsImage(picture);
        if (!profile.empty()) {
            image = keepingOnlyMetadata(image, {});
            setBlob(image, VIPS_META_ICC_NAME, profile);
        }
        image.pngsave(file.c_str(), vips::VImage::option()
                                        ->set("compression", 1)
                                        ->set("filter", VIPS_FOREIGN_PNG_FILTER_UP)
                                        ->set("strip", profile.empty()));
    } catch (const vips::VError&) {
        vips_error_clear();
        throw ToolError::writeFailed(file);
    }
}

void writePPM(const Picture& picture, const std::filesystem::path& file) {
    if (picture.isNull() || !isRGBA8(vipsImage(picture))) throw ToolError::writeFailed(file);
    VipsRuntime::start();
    const vips::VImage& image = vipsImage(picture);
    // Pictures are held in memory, so this hands back their pixels without computing anything.
    const auto* pixels = static_cast<const unsigned char*>(vips_image_get_data(image.get_image()));
    if (pixels == nullptr) {
        vips_error_clear();
        throw ToolError::writeFailed(file);
    }

    const auto width = std::size_t(image.width());
    const auto height = std::size_t(image.height());
    const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    FileDescriptor fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd || !writeAll(fd.get(), header)) {
        throw ToolError::writeFailed(file);
    }

    // Written a slice of rows at a time, so that a large photo needs no second copy of its pixels
    // (a 50 MP one would need 150 MB more).
    constexpr std::size_t sliceBytes = std::size_t{1} << 20;
    const std::size_t rowBytes = width * 3;
    const std::size_t sliceRows = std::max<std::size_t>(1, sliceBytes / rowBytes);
    std::vector<unsigned char> slice(std::min(sliceRows, height) * rowBytes);
    for (std::size_t row = 0; row < height; row += sliceRows) {
        const std::size_t rows = std::min(sliceRows, height - row);
        unsigned char* out = slice.data();
        const unsigned char* const end = pixels + (row + rows) * width * 4;
        for (const unsigned char* in = pixels + row * width * 4; in != end; in += 4) {
            const unsigned alpha = in[3];
            if (alpha == 255) {
                // Opaque, as every pixel of most photos is: the colour itself, without the arithmetic.
                out = std::copy(in, in + 3, out);
                continue;
            }
            for (int channel = 0; channel < 3; ++channel) {
                // c·a/255 is never exactly halfway between integers (255 is odd and c·a whole), so
                // adding 127 before the integer division rounds to nearest without a tie rule.
                const unsigned premultiplied = (in[channel] * alpha + 127) / 255;
                *out++ = static_cast<unsigned char>(std::min(255u, premultiplied + 255 - alpha));
            }
        }
        const std::string_view bytes(reinterpret_cast<const char*>(slice.data()), rows * rowBytes);
        if (!writeAll(fd.get(), bytes)) throw ToolError::writeFailed(file);
    }
    if (!fd.close()) throw ToolError::writeFailed(file);
}

}  // namespace dorvex::Intermediate
