#include "image/encoders/PlatformWriter.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "dorvex/image/ToolError.h"
#include "image/VipsBlob.h"
#include "image/VipsMetadata.h"
#include "image/encoders/HeifWriter.h"
#include "image/encoders/TiffPages.h"
#include "image/VipsPicture.h"
#include "image/VipsRuntime.h"
#include "image/encoders/IcnsFile.h"

namespace dorvex::PlatformWriter {

using vips::VImage;

namespace {

using Bytes = std::vector<std::uint8_t>;

EncodeFailure imageIOFailure(OutputFormat format) {
    return EncodeFailure{EncodeFailure::ImageIO{std::string(format.displayName())}};
}

void removeQuietly(const std::filesystem::path& file) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
}

bool writeFile(const std::filesystem::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (out) out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (out) out.close();
    return bool(out);
}

// ---- TIFF pages -------------------------------------------------------------------------------

// The options that save one page: compression with its predictor, and the source's own depth
// for 1, 2 and 4-bit grey, which libvips loads as 8-bit. (libvips 8.14 writes Deflate at zlib's
// default level; it has no setting for it.)
vips::VOption* tiffPageOptions(const VImage& page, TIFFCompression compression, const std::optional<TiffPages::PageLayout>& layout) {
    // Grey (photometric 0 or 1, not a palette) loads as evenly spaced 8-bit levels, which these
    // depths store exactly.
    const bool lowDepthGrey = layout && layout->samplesPerPixel == 1 && layout->photometric.value_or(1) <= 1 &&
                              (layout->bitsPerSample == 1 || layout->bitsPerSample == 2 || layout->bitsPerSample == 4) &&
                              page.bands() == 1 && page.format() == VIPS_FORMAT_UCHAR;
    const bool floating = page.format() == VIPS_FORMAT_FLOAT || page.format() == VIPS_FORMAT_DOUBLE;
    const bool complex = page.format() == VIPS_FORMAT_COMPLEX || page.format() == VIPS_FORMAT_DPCOMPLEX;
    // libtiff has no predictor for samples below 8 bits (it writes an unreadable strip).
    const VipsForeignTiffPredictor predictor = complex || lowDepthGrey ? VIPS_FOREIGN_TIFF_PREDICTOR_NONE
                                               : floating              ? VIPS_FOREIGN_TIFF_PREDICTOR_FLOAT
                                                                       : VIPS_FOREIGN_TIFF_PREDICTOR_HORIZONTAL;
    auto* options = VImage::option()
                        ->set("compression", compression == TIFFCompression::lzw ? VIPS_FOREIGN_TIFF_COMPRESSION_LZW
                                                                                 : VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE)
                        ->set("predictor", predictor);
    if (lowDepthGrey) options->set("bitdepth", int(layout->bitsPerSample));
    return options;
}

}  // namespace

std::optional<EncodeFailure> writeLossy(const Picture& picture, OutputFormat format, int quality,
                                        const std::filesystem::path& out, const ImageMetadata& metadata,
                                        MetadataPolicy policy) {
    if (format == OutputFormat::heic) return writeHeic(picture, quality, HeicPreset{heicPreset}, out, metadata);
    return writeLossy(picture, format, quality, Effort{avifEffort}, out, metadata, policy);
}

std::optional<EncodeFailure> writeLossy(const Picture& picture, OutputFormat format, int quality, Effort effort,
                                        const std::filesystem::path& out, const ImageMetadata& metadata,
                                        MetadataPolicy policy) {
    if (format != OutputFormat::avif && format != OutputFormat::heic) {
        throw std::invalid_argument("PlatformWriter::writeLossy writes AVIF or HEIC only");
    }
    if (picture.isNull()) throw std::invalid_argument("PlatformWriter::writeLossy needs a picture");
    if (format == OutputFormat::heic) return writeHeic(picture, quality, HeicPreset{heicPreset}, out, metadata);
    VipsRuntime::start();
    if (policy == MetadataPolicy::strip && !metadata.icc.empty()) {
        // libvips writes a profile only beside an EXIF block it makes (resolution, dimensions).
        const HeifWriter::Av1 av1{std::clamp(effort.value, 0, 9)};
        const std::optional<HeifWriter::Bytes> file = HeifWriter::encode(picture, std::clamp(quality, 1, 100), av1, metadata);
        if (file && writeFile(out, *file)) return std::nullopt;
        removeQuietly(out);
        return imageIOFailure(format);
    }
    try {
        VImage image = keepingOnlyMetadata(vipsImage(picture), {});
        if (image.bands() == 4 && image.extract_band(3).min() == 255.0) {
            image = image.extract_band(0, VImage::option()->set("n", 3));
        }
        setBlob(image, VIPS_META_EXIF_NAME, metadata.exif);
        setBlob(image, VIPS_META_XMP_NAME, metadata.xmp);
        setBlob(image, VIPS_META_ICC_NAME, metadata.icc);
        image.heifsave(out.c_str(), VImage::option()
                                        ->set("Q", std::clamp(quality, 1, 100))
                                        ->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_AV1)
                                        ->set("effort", std::clamp(effort.value, 0, 9))
                                        ->set("bitdepth", 8)
                                        ->set("strip", metadata.empty()));
    } catch (const vips::VError&) {
        removeQuietly(out);
        return imageIOFailure(format);
    }
    return std::nullopt;
}

std::optional<EncodeFailure> writeHeic(const Picture& picture, int quality, HeicPreset preset,
                                       const std::filesystem::path& out, const ImageMetadata& metadata) {
    if (picture.isNull()) throw std::invalid_argument("PlatformWriter::writeHeic needs a picture");
    VipsRuntime::start();
    const std::optional<HeifWriter::Bytes> file =
        HeifWriter::encode(picture, std::clamp(quality, 1, 100), HeifWriter::Hevc{preset.name}, metadata);
    if (file && writeFile(out, *file)) return std::nullopt;
    removeQuietly(out);
    return imageIOFailure(OutputFormat::heic);
}

std::optional<EncodeFailure> writeTiff(const std::filesystem::path& source, TIFFCompression compression,
                                       const std::filesystem::path& out, MetadataPolicy metadata,
                                       const ImageMetadata::Bytes& colourProfile) {
    VipsRuntime::start();
    int pageCount = 1;
    bool isTiff = false;
    try {
        const VImage header = VImage::new_from_file(source.c_str());
        isTiff = header.get_typeof("vips-loader") != 0 && std::string_view(header.get_string("vips-loader")) == "tiffload";
        if (isTiff && header.get_typeof("n-pages") != 0) pageCount = std::max(1, header.get_int("n-pages"));
    } catch (const vips::VError&) {
        throw ToolError::unreadable(source);
    }
    std::vector<TiffPages::PageLayout> layouts = isTiff ? TiffPages::readPageLayouts(source) : std::vector<TiffPages::PageLayout>{};
    if (layouts.size() != std::size_t(pageCount)) layouts.clear();  // pages we cannot match up with certainty

    Bytes file;
    bool decodeFailed = false;
    for (int index = 0; index < pageCount; ++index) {
        VImage page;
        try {
            page = isTiff ? VImage::tiffload(source.c_str(), VImage::option()->set("page", index)->set("n", 1))
                          : VImage::new_from_file(source.c_str());
            page = page.copy_memory();
        } catch (const vips::VError&) {
            decodeFailed = true;
            break;
        }
        const std::optional<TiffPages::PageLayout> layout =
            std::size_t(index) < layouts.size() ? std::optional(layouts[std::size_t(index)]) : std::nullopt;
        Bytes encoded;
        try {
            VImage stored = keepingOnlyMetadata(page, {"icc-profile-data", "orientation", "resolution-unit"});
            setBlob(stored, VIPS_META_XMP_NAME, ImageMetadataRules::xmp(blobField(page, VIPS_META_XMP_NAME), metadata));
            if (!isTiff && stored.get_typeof(VIPS_META_ICC_NAME) == 0) setBlob(stored, VIPS_META_ICC_NAME, colourProfile);
            encoded = blobBytes(stored.tiffsave_buffer(tiffPageOptions(stored, compression, layout)));
        } catch (const vips::VError&) {
            return imageIOFailure(OutputFormat::tiff);
        }
        if (file.empty()) {
            file = std::move(encoded);
        } else if (!TiffPages::append(file, encoded)) {
            return imageIOFailure(OutputFormat::tiff);
        }
    }

    if (!file.empty() && !writeFile(out, file)) {
        removeQuietly(out);
        return imageIOFailure(OutputFormat::tiff);
    }
    if (decodeFailed) throw ToolError::unreadable(source);
    return std::nullopt;
}

std::optional<EncodeFailure> writeIcns(const std::filesystem::path& source, const std::filesystem::path& out) {
    IcnsFile family;
    try {
        family = IcnsFile::read(source);
    } catch (const IcnsError&) {
        throw ToolError::unreadable(source);
    }
    if (family.imageCount() == 0) return imageIOFailure(OutputFormat::icns);
    try {
        IcnsFile::write(IcnsFile::recompressed(family), out);
    } catch (const IcnsError&) {
        return imageIOFailure(OutputFormat::icns);
    }
    return std::nullopt;
}

}  // namespace dorvex::PlatformWriter

