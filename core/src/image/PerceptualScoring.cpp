#include "image/PerceptualScoring.h"

#include <jxl/butteraugli.h>
#include <vips/vips8>

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "image/SourceImage.h"
#include "dorvex/image/Thumbnail.h"
#include "image/VipsRuntime.h"
#include "image/encoders/IcnsFile.h"
#include "image/VipsPicture.h"

namespace dorvex::PerceptualScoring {

namespace fs = std::filesystem;

namespace {

// butteraugli's own tool and its published thresholds assume a display of 80 nits.
constexpr float displayNits = 80;
// What transparent pixels are seen against: a white page.
constexpr double backgroundLevel = 255;
// butteraugli compares nothing in a picture with a side under 8 pixels (it reports 0).
constexpr int smallestSide = 8;

struct GFree {
    void operator()(void* memory) const { g_free(memory); }
};
using VipsMemory = std::unique_ptr<void, GFree>;

// 8-bit values as stored, whatever the layout: grey expanded to RGB, alpha composited over the
// background, wider integers cut to their top 8 bits.
vips::VImage opaqueRGB(vips::VImage image) {
    if (image.format() == VIPS_FORMAT_USHORT) {
        image = image.cast(VIPS_FORMAT_UCHAR, vips::VImage::option()->set("shift", true));
    } else if (image.format() != VIPS_FORMAT_UCHAR) {
        image = image.cast(VIPS_FORMAT_UCHAR);
    }
    const bool alpha = image.bands() == 2 || image.bands() >= 4;
    if (alpha) {
        image = image.extract_band(0, vips::VImage::option()->set("n", image.bands() >= 4 ? 4 : 2))
                    .flatten(vips::VImage::option()->set("background", std::vector<double>{backgroundLevel}))
                    .cast(VIPS_FORMAT_UCHAR);
    }
    if (image.bands() == 1) return vips::VImage::bandjoin({image, image, image});
    return image.bands() > 3 ? image.extract_band(0, vips::VImage::option()->set("n", 3)) : image;
}

// The one resampling both sides go through: Lanczos to exactly `size` (libvips rounds 8-bit
// pixels back to 8 bits).
vips::VImage scaledTo(const vips::VImage& image, PixelSize size) {
    if (image.width() == size.width && image.height() == size.height) return image;
    const vips::VImage scaled = image.resize(double(size.width) / image.width(),
                                             vips::VImage::option()
                                                 ->set("vscale", double(size.height) / image.height())
                                                 ->set("kernel", VIPS_KERNEL_LANCZOS3));
    // Rounding may leave a row or column more or less: the last one is repeated or dropped.
    return scaled.embed(0, 0, size.width, size.height, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
}

// The output as its file stores it, upright, and the size of its whole picture. A JPEG is read
// at a fraction of its size (libjpeg's DCT scaling) when that still leaves its scored size; an
// icon family through our reader (its largest image).
struct Decoded {
    vips::VImage image;
    PixelSize size;
};

Decoded decoded(const fs::path& file) {
    if (file.extension() == ".icns") {
        const std::optional<Picture> largest = IcnsFile::read(file).decodeLargest();
        if (!largest) throw std::runtime_error("no icon image");
        return {vipsImage(*largest), largest->size()};
    }
    const auto options = [] {
        return vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
    };
    vips::VImage image = vips::VImage::new_from_file(file.c_str(), options());
    const int orientation = image.get_typeof(VIPS_META_ORIENTATION) != 0 ? image.get_int(VIPS_META_ORIENTATION) : 1;
    const bool turned = orientation >= 5 && orientation <= 8;
    const PixelSize size = turned ? PixelSize{image.height(), image.width()} : PixelSize{image.width(), image.height()};
    const char* loader = nullptr;
    if (vips_image_get_string(image.get_image(), VIPS_META_LOADER, &loader) == 0 && loader != nullptr &&
        std::string_view(loader) == "jpegload") {
        const int shrink = jpegDecodeShrink(size, scoredSize(size));
        if (shrink > 1) image = vips::VImage::jpegload(file.c_str(), options()->set("shrink", shrink));
    }
    return {image.autorot(), size};
}

// The bytes of an 8-bit image, or nothing when they are not width × height × 3.
std::optional<std::vector<std::uint8_t>> rgbBytes(const vips::VImage& image) {
    std::size_t length = 0;
    const VipsMemory memory(image.write_to_memory(&length));
    if (!memory || length != std::size_t(image.width()) * std::size_t(image.height()) * 3) return std::nullopt;
    const auto* bytes = static_cast<const std::uint8_t*>(memory.get());
    return std::vector<std::uint8_t>(bytes, bytes + length);
}

struct ButteraugliRelease {
    void operator()(JxlButteraugliApi* api) const { JxlButteraugliApiDestroy(api); }
    void operator()(JxlButteraugliResult* result) const { JxlButteraugliResultDestroy(result); }
};

}  // namespace

PixelSize scoredSize(PixelSize size) {
    const std::int64_t count = std::int64_t(size.width) * size.height;
    if (count <= maxScoredPixels) return size;
    const double scale = std::sqrt(double(maxScoredPixels) / double(count));
    PixelSize scored{std::max(1, int(size.width * scale)), std::max(1, int(size.height * scale))};
    // A line a pixel thin keeps the whole count along its length.
    if (scored.height == 1) scored.width = int(std::min<std::int64_t>(size.width, maxScoredPixels));
    if (scored.width == 1) scored.height = int(std::min<std::int64_t>(size.height, maxScoredPixels));
    return scored;
}

std::optional<Reference> reference(SourceImage& source) {
    try {
        VipsRuntime::start();
        const PixelSize size = scoredSize(source.pixelSize);
        if (size.width < smallestSide || size.height < smallestSide) return std::nullopt;
        std::optional<std::vector<std::uint8_t>> rgb = rgbBytes(scaledTo(opaqueRGB(vipsImage(source.render())), size));
        if (!rgb) return std::nullopt;
        return Reference{size, std::move(*rgb)};
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<PerceptualScore> score(const Reference& reference, const fs::path& output,
                                     const CancelQuery& isCancelled) {
    const auto cancelled = [&] { return isCancelled && isCancelled(); };
    if (cancelled()) return std::nullopt;
    PixelSize size;
    std::optional<std::vector<std::uint8_t>> original, distorted;
    try {
        VipsRuntime::start();
        const Decoded file = decoded(output);
        size = scoredSize(file.size);
        // An output is the source's size or smaller (a byte limit may have scaled it down).
        if (size.width < smallestSide || size.height < smallestSide || size.width > reference.size.width ||
            size.height > reference.size.height) {
            return std::nullopt;
        }
        const vips::VImage kept = vips::VImage::new_from_memory(const_cast<std::uint8_t*>(reference.rgb.data()),
                                                                reference.rgb.size(), reference.size.width,
                                                                reference.size.height, 3, VIPS_FORMAT_UCHAR);
        original = rgbBytes(scaledTo(kept, size));
        distorted = rgbBytes(scaledTo(opaqueRGB(file.image), size));
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!original || !distorted || cancelled()) return std::nullopt;

    const std::unique_ptr<JxlButteraugliApi, ButteraugliRelease> api(JxlButteraugliApiCreate(nullptr));
    if (!api) return std::nullopt;
    JxlButteraugliApiSetIntensityTarget(api.get(), displayNits);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    const std::unique_ptr<JxlButteraugliResult, ButteraugliRelease> result(
        JxlButteraugliCompute(api.get(), std::uint32_t(size.width), std::uint32_t(size.height), &format,
                              original->data(), original->size(), &format, distorted->data(), distorted->size()));
    if (!result) return std::nullopt;
    const PerceptualScore score{JxlButteraugliResultGetMaxDistance(result.get()),
                                JxlButteraugliResultGetDistance(result.get(), 3)};
    const auto valid = [](double value) { return std::isfinite(value) && value >= 0; };
    if (!valid(score.butteraugli) || !valid(score.pnorm3)) return std::nullopt;
    return score;
}

}  // namespace dorvex::PerceptualScoring
