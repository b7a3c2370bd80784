#include "image/SourceImage.h"

#include <vips/vips8>

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <utility>

#include "dorvex/image/ToolError.h"
#include "dorvex/model/SourceFile.h"
#include "image/IcnsProbe.h"
#include "image/KeptMetadata.h"
#include "image/PngLayout.h"
#include "image/PngRows.h"
#include "image/SourceChecks.h"
#include "image/VipsMetadata.h"
#include "image/VipsOpening.h"
#include "image/VipsPicture.h"
#include "image/VipsRuntime.h"
#include "image/encoders/ToolRunner.h"

namespace dorvex {

namespace fs = std::filesystem;

struct SourceImage::Probe {
    fs::path path;
    std::optional<std::string> typeIdentifier;
    std::int64_t byteCount = 0;
    int orientation = 1;
    int imageCount = 1;
    Picture picture;
    ImageMetadata::Bytes colourProfile;
    ImageMetadata metadata;
    ImageMetadata storedMetadata;
    bool plainPNG = false;
};

namespace {

// ---- plain PNG ----------------------------------------------------------------------------

// A plain PNG's rows straight from libpng into the picture's memory: they are already what toSRGBA
// would make of them (libvips reads PNGs with the same libpng), and for a small picture the
// libvips pipeline costs several times the decoding. Throws ToolCancelled when `isCancelled`
// answers true meanwhile, vips::VError when the file does not decode.
vips::VImage decodePlainPNG(const fs::path& file, const CancelQuery& isCancelled) {
    vips::VImage picture(vips_image_new_memory());
    const auto into = [&](PixelSize size) -> unsigned char* {
        if (!withinLimits(size)) return nullptr;
        VipsImage* const image = picture.get_image();
        vips_image_init_fields(image, size.width, size.height, 4, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE,
                               VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
        if (vips_image_write_prepare(image) != 0) return nullptr;
        return VIPS_IMAGE_ADDR(image, 0, 0);
    };
    if (!PngRows::read(file, into, isCancelled)) {
        if (isCancelled && isCancelled()) throw ToolCancelled();
        throw vips::VError("the PNG does not decode");
    }
    return picture;
}

// ---- pixels -------------------------------------------------------------------------------

// Turns stored pixels upright for a TIFF/EXIF orientation tag: 2 mirrored, 3 turned half way,
// 4 flipped, 5 transposed, 6 needing a quarter turn clockwise, 7 transversed, 8 needing a quarter
// turn anticlockwise.
vips::VImage upright(const vips::VImage& image, int orientation) {
    switch (orientation) {
    case 2: return image.flip(VIPS_DIRECTION_HORIZONTAL);
    case 3: return image.rot(VIPS_ANGLE_D180);
    case 4: return image.flip(VIPS_DIRECTION_VERTICAL);
    case 5: return image.rot(VIPS_ANGLE_D90).flip(VIPS_DIRECTION_HORIZONTAL);
    case 6: return image.rot(VIPS_ANGLE_D90);
    case 7: return image.rot(VIPS_ANGLE_D270).flip(VIPS_DIRECTION_HORIZONTAL);
    case 8: return image.rot(VIPS_ANGLE_D270);
    default: return image;
    }
}

// Crops or extends by the last row or column when resampling rounded one pixel off the size.
vips::VImage exactly(vips::VImage image, PixelSize size) {
    if (image.width() > size.width || image.height() > size.height) {
        image = image.crop(0, 0, std::min(image.width(), size.width), std::min(image.height(), size.height));
    }
    if (image.width() < size.width || image.height() < size.height) {
        image = image.embed(0, 0, size.width, size.height,
                            vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
    }
    return image;
}

// While it lives, the evaluation of `image` is killed once `isCancelled` answers true. libvips
// asks at every batch of tiles; the flag and the handler are taken off again at the end, since
// operations (and so their images) may outlive us in libvips' cache.
class KillOnCancel {
public:
    KillOnCancel(const vips::VImage& image, const CancelQuery& isCancelled) : image_(image.get_image()) {
        if (!isCancelled) return;
        vips_image_set_progress(image_, TRUE);
        handler_ = g_signal_connect(image_, "eval", G_CALLBACK(onEval), const_cast<CancelQuery*>(&isCancelled));
    }
    ~KillOnCancel() {
        if (handler_ == 0) return;
        g_signal_handler_disconnect(image_, handler_);
        vips_image_set_progress(image_, FALSE);
        vips_image_set_kill(image_, FALSE);
    }
    KillOnCancel(const KillOnCancel&) = delete;
    KillOnCancel& operator=(const KillOnCancel&) = delete;

private:
    static void onEval(VipsImage* image, VipsProgress*, gpointer query) {
        if ((*static_cast<const CancelQuery*>(query))()) vips_image_set_kill(image, TRUE);
    }

    VipsImage* image_;
    gulong handler_ = 0;
};

}  // namespace

SourceImage::Probe SourceImage::probe(const fs::path& file, const CancelQuery& isCancelled, MetadataPolicy policy) {
    VipsRuntime::start();
    std::error_code error;
    // Only regular files: a FIFO or a device would block or never end. Every refusal asks once
    // more whether the file can be opened at all, so a permission error or a file gone is never
    // called damaged.
    if (!fs::is_regular_file(file, error)) throw refused(file, "not a regular file");
    const std::optional<FileType> type = SourceFile::imageType(file);
    if (!type) throw refused(file, "its first bytes are no JPEG, PNG, WebP, HEIF, JPEG XL, TIFF or ICNS signature");

    Probe probed;
    probed.path = file;
    const std::uintmax_t size = fs::file_size(file, error);
    probed.byteCount = error ? 0 : std::int64_t(size);

    if (*type == FileType::icns) {
        IcnsProbe icns = probeIcns(file, probed.byteCount);
        probed.typeIdentifier = "com.apple.icns";
        probed.imageCount = icns.imageCount;
        probed.picture = std::move(icns.picture);
        return probed;
    }
    // A plain PNG without EXIF, whose metadata goes: libpng alone reads it. libvips would open
    // the same file with the same libpng, to learn nothing the picture does not say (upright, one
    // image, no profile, nothing kept).
    const PngLayout layout = *type == FileType::png ? pngLayout(file) : PngLayout::other;
    if (policy == MetadataPolicy::strip && layout == PngLayout::plain) {
        try {
            probed.picture = makePicture(decodePlainPNG(file, isCancelled));
        } catch (const vips::VError& failure) {
            vips_error_clear();
            throw refused(file, failure.what());
        }
        probed.typeIdentifier = "public.png";
        probed.plainPNG = true;
        return probed;
    }
    const auto decode = [&](JpegStrictness strictness) {
        std::optional<Opened> opened = openWithVips(file, *type, strictness);
        vips_error_clear();
        if (!opened) throw refused(file);
        // Refuse decompression bombs and absurd headers before a single pixel is decoded.
        const PixelSize stored{opened->image.width(), opened->image.height()};
        if (!withinLimits(stored)) throw ToolError::tooLarge(file, stored);

        const bool plainPNG = opened->typeIdentifier == "public.png" && opened->orientation == 1 &&
                              opened->image.get_typeof(VIPS_META_ICC_NAME) == 0 && layout != PngLayout::other;
        vips::VImage pixels;
        ImageMetadata::Bytes profile;
        if (plainPNG) {
            pixels = decodePlainPNG(file, isCancelled);
        } else {
            profile = keptColourProfile(*opened, file);
            const vips::VImage converted = profile.empty() ? toSRGBA(opened->image) : toRGBA(opened->image);
            {
                const KillOnCancel killer(converted, isCancelled);
                pixels = converted.copy_memory();
            }
            if (!opened->decodesUpright && opened->orientation != 1) {
                pixels = upright(pixels, opened->orientation).copy_memory();
            }
        }
        probed.typeIdentifier = std::move(opened->typeIdentifier);
        probed.orientation = opened->orientation;
        probed.imageCount = opened->imageCount;
        probed.picture = makePicture(pixels);
        probed.metadata = keptMetadata(opened->image, policy, profile);
        probed.colourProfile = std::move(profile);
        probed.storedMetadata = metadataAsStored(opened->image, policy, opened->orientation);
        probed.plainPNG = plainPNG;
    };
    try {
        try {
            decode(JpegStrictness::anyWarningFails);
        } catch (const vips::VError& strictFailure) {
            vips_error_clear();
            if (isCancelled && isCancelled()) throw ToolCancelled();
            if (isPrematureEnd(strictFailure.what())) throw refused(file, strictFailure.what());
            decode(JpegStrictness::truncationFails);
        }
    } catch (const vips::VError& failure) {
        vips_error_clear();
        if (isCancelled && isCancelled()) throw ToolCancelled();
        throw refused(file, failure.what());
    }
    return probed;
}

SourceImage::SourceImage(const fs::path& file, const CancelQuery& isCancelled, MetadataPolicy policy)
    : SourceImage(probe(file, isCancelled, policy)) {}

SourceImage::SourceImage(Probe&& probed)
    : path(std::move(probed.path)),
      typeIdentifier(std::move(probed.typeIdentifier)),
      byteCount(probed.byteCount),
      pixelSize(probed.picture.size()),
      orientation(probed.orientation),
      imageCount(probed.imageCount),
      colourProfile(std::move(probed.colourProfile)),
      metadata(std::move(probed.metadata)),
      storedMetadata(std::move(probed.storedMetadata)),
      isPlainPNG(probed.plainPNG),
      picture_(std::move(probed.picture)) {}

SourceImage::~SourceImage() = default;

std::optional<FileType> SourceImage::fileType() const {
    if (!typeIdentifier) return std::nullopt;
    return FileType::fromIdentifier(*typeIdentifier);
}

bool SourceImage::conforms(const FileType& type) const {
    const std::optional<FileType> own = fileType();
    return own && own->conforms(type);
}

bool SourceImage::isJPEG() const { return conforms(FileType::jpeg); }

bool SourceImage::isPNG() const { return conforms(FileType::png); }

bool SourceImage::isLosslessSource() const {
    return conforms(FileType::png) || conforms(FileType::tiff) || conforms(FileType::icns);
}

Picture SourceImage::render(std::optional<PixelSize> size) {
    const PixelSize target = size.value_or(pixelSize);
    if (released_) throw ToolError::renderFailed(target);
    if (const auto found = renders_.find(target); found != renders_.end()) return found->second;
    if (target == pixelSize) {
        renders_.emplace(target, picture_);
        return picture_;
    }
    if (!withinLimits(target)) throw ToolError::renderFailed(target);

    try {
        // Resampling straight colours would bleed the colour of transparent pixels (usually
        // black) into the edges of opaque ones; premultiplied, transparent pixels weigh nothing.
        const vips::VImage source = vipsImage(picture_);
        const double horizontal = double(target.width) / source.width();
        const double vertical = double(target.height) / source.height();
        vips::VImage scaled = source.premultiply().resize(horizontal, vips::VImage::option()
                                                                         ->set("vscale", vertical)
                                                                         ->set("kernel", VIPS_KERNEL_LANCZOS3));
        scaled = exactly(scaled, target).unpremultiply();
        // Lanczos overshoots: the cast clamps to 0–255; adding 0.5 first makes it round.
        vips::VImage pixels = (scaled + 0.5)
                                  .cast(VIPS_FORMAT_UCHAR)
                                  .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
                                  .copy_memory();
        Picture picture = makePicture(pixels);
        renders_.emplace(target, picture);
        return picture;
    } catch (const vips::VError&) {
        vips_error_clear();
        throw ToolError::renderFailed(target);
    }
}

void SourceImage::releasePixels() {
    picture_ = Picture();
    renders_.clear();
    released_ = true;
}

}  // namespace dorvex
