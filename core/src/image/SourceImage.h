#pragma once
// SourceImage: one image file probed once — its type, size on disk, upright pixel size,
// orientation tag and image count — and its first image decoded once, upright, at full
// resolution, as 8-bit RGBA, with the metadata its outputs are to keep. The pixels are in the
// colour space the picture was shot in when an output can carry it (Display P3, Adobe RGB, …:
// colourProfile names it), and in sRGB otherwise; its renderings, the intermediates made of them
// and every output are in that same space, and the outputs carry its profile. Renderings at
// other pixel sizes are made on demand and kept until the pixels are let go of. A job owns it and
// uses it from one thread; nothing here is locked.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>

#include "dorvex/model/FileType.h"
#include "image/ImageMetadata.h"
#include "image/Picture.h"
#include "dorvex/model/Cancellation.h"
#include "dorvex/model/PixelSize.h"

namespace dorvex {

class SourceImage {
public:
    // The largest picture decoded or rendered: 2^28 pixels (16384 × 16384, 1 GiB as RGBA). Above
    // the output of any camera, yet it keeps a job's memory to a few GiB when the picture, a
    // rendering, an intermediate and a libvips pipeline coexist. Checked from
    // the file's header, before any pixel is decoded.
    static constexpr std::int64_t maxPixelCount = std::int64_t{1} << 28;
    // The longest side accepted, JPEG's own limit (WebP stops at 16383). It also bounds one scan
    // line of a pipeline, since libvips works in full-width strips.
    static constexpr int maxSide = 65535;

    // Probes and decodes the file with the decoder of the type its first bytes name
    // (SourceFile::imageType). Throws ToolError::inaccessible(file, reason) when it cannot be
    // opened (checked first, and again after a refusal), ToolError::unreadable(file, detail) when
    // it is not a regular file, not in a format we read (JPEG, PNG, WebP, AVIF, HEIC, JPEG XL,
    // TIFF, ICNS), damaged or truncated, or larger than the limits above. A decode in progress is ended soon after
    // `isCancelled` answers true (libvips' kill flag), and ToolCancelled ("已取消") is thrown.
    // `policy` decides what `metadata` holds.
    explicit SourceImage(const std::filesystem::path& file, const CancelQuery& isCancelled = nullptr,
                         MetadataPolicy policy = MetadataPolicy::strip);
    ~SourceImage();
    SourceImage(const SourceImage&) = delete;
    SourceImage& operator=(const SourceImage&) = delete;

    const std::filesystem::path path;
    // The type of the file's content, as SourceFile::imageType names it (a JPEG named ".tiff" is
    // "public.jpeg").
    const std::optional<std::string> typeIdentifier;
    const std::int64_t byteCount;  // 0 when the size cannot be read
    const PixelSize pixelSize;     // upright: stored width and height swapped for orientations 5–8
    const int orientation;         // the first image's orientation tag, 1–8; 1 when absent
    const int imageCount;          // pages, frames or icon images; at least 1
    // The ICC profile of the colour space the picture's pixels are in, when they stay in the
    // space the file gives (ColourProfile: an RGB profile other than sRGB, or a HEIF file's nclx
    // colour information made into a profile); empty when they are sRGB — the file had no
    // profile, an sRGB one, a damaged one, or one whose colours are not kept (grey, CMYK, HDR,
    // linear, too large).
    const ImageMetadata::Bytes colourProfile;
    // What the outputs of the upright picture keep (ImageMetadata): colourProfile as their ICC
    // profile under every policy; beyond it nothing under strip and for icon families.
    const ImageMetadata metadata;
    // The same for the pixels as the file stores them (a JPEG transcoded losslessly): EXIF not
    // turned (under strip only a turning orientation), the file's own ICC profile.
    const ImageMetadata storedMetadata;
    // Whether the file itself is the decoded picture to a tool that reads PNG, so that it may be
    // given instead of an intermediate: an upright 8-bit RGB or RGBA PNG with nothing that tools
    // read differently — no profile, gamma, chromaticities or sRGB intent (tools apply them,
    // libvips does not), no palette, transparency key or animation; text, time, resolution and
    // EXIF chunks may be there.
    const bool isPlainPNG;

    // The known type named by typeIdentifier; nullopt when there is none or it is unknown.
    std::optional<FileType> fileType() const;
    bool conforms(const FileType& type) const;
    bool isJPEG() const;
    bool isPNG() const;
    // PNG, TIFF and ICNS sources hold exact pixels; every other type, or no type, does not.
    bool isLosslessSource() const;

    // The picture stretched to exactly `size` (nullopt: pixelSize, the decoded picture itself),
    // with Lanczos resampling on premultiplied pixels, in the colour space of colourProfile (sRGB
    // when empty). Each size is rendered once and kept.
    // Throws ToolError::renderFailed(size) for an empty or oversized size, or when libvips fails.
    Picture render(std::optional<PixelSize> size = std::nullopt);

    // Lets go of the decoded picture and every rendering, for a job that needs no more pixels:
    // a large photo's are hundreds of MB that an encoder or the output check can use instead.
    // Pictures handed out stay valid; render() throws ToolError::renderFailed from now on.
    void releasePixels();

private:
    struct Probe;  // what probing a file yields
    static Probe probe(const std::filesystem::path& file, const CancelQuery& isCancelled, MetadataPolicy policy);
    explicit SourceImage(Probe&& probed);

    Picture picture_;
    std::unordered_map<PixelSize, Picture> renders_;
    bool released_ = false;
};

}  // namespace dorvex
