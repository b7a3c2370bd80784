#include "image/VipsOpening.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace dorvex {

namespace fs = std::filesystem;

namespace {

// The decoders we read with, one libvips loader each, chosen by the type the file's first bytes
// name (SourceFile::imageType), never by libvips' own sniffing: the output's format and name come
// from that same type. Whatever else libvips could open (GIF, SVG, PDF, PPM, FITS, ImageMagick's
// many formats, …) is refused: those are not our inputs, and several of them are large parsers
// that have no business seeing files dropped on us.
enum class Codec { jpeg, png, webp, heif, jxl, tiff };

struct CodecEntry {
    const FileType* type;
    Codec codec;
};

const std::array<CodecEntry, 7> codecs{{
    {&FileType::jpeg, Codec::jpeg},
    {&FileType::png, Codec::png},
    {&FileType::webp, Codec::webp},
    {&FileType::avif, Codec::heif},
    {&FileType::heic, Codec::heif},
    {&FileType::jxl, Codec::jxl},
    {&FileType::tiff, Codec::tiff},
}};

vips::VOption* decodeOptions(VipsFailOn failOn = VIPS_FAIL_ON_TRUNCATED) {
    // Sequential access streams the file once instead of decoding it into a scratch image first;
    // failing on truncation turns a cut-off JPEG or PNG into an error rather than grey rows.
    return vips::VImage::option()
        ->set("access", VIPS_ACCESS_SEQUENTIAL)
        ->set("fail_on", failOn);
}

int intField(const vips::VImage& image, const char* name, int fallback) {
    if (image.get_typeof(name) != G_TYPE_INT) return fallback;
    return image.get_int(name);
}

}  // namespace

bool isPrematureEnd(std::string_view decoderMessage) {
    std::string lower(decoderMessage);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return lower.find("premature end") != std::string::npos;
}

std::optional<Opened> openWithVips(const fs::path& file, const FileType& type, JpegStrictness strictness) {
    const auto entry = std::find_if(codecs.begin(), codecs.end(), [&](const CodecEntry& e) { return *e.type == type; });
    if (entry == codecs.end()) return std::nullopt;
    vips::VSource source = vips::VSource::new_from_file(file.c_str());

    Opened opened;
    opened.typeIdentifier = type.identifier;
    switch (entry->codec) {
    case Codec::jpeg:
        opened.image = vips::VImage::jpegload_source(
            source, decodeOptions(strictness == JpegStrictness::anyWarningFails ? VIPS_FAIL_ON_WARNING
                                                                                : VIPS_FAIL_ON_TRUNCATED));
        break;
    case Codec::png:
        opened.image = vips::VImage::pngload_source(source, decodeOptions());
        break;
    case Codec::webp:
        opened.image = vips::VImage::webpload_source(source, decodeOptions());
        break;
    case Codec::heif:
        // One loader reads both; the file's brands told AVIF from HEIC. libheif applies the irot
        // and imir transforms while decoding.
        opened.image = vips::VImage::heifload_source(source, decodeOptions());
        opened.decodesUpright = true;
        opened.isHeif = true;
        break;
    case Codec::jxl:
        // libjxl turns the picture upright itself and reports orientation 1.
        opened.image = vips::VImage::jxlload_source(source, decodeOptions());
        opened.decodesUpright = true;
        break;
    case Codec::tiff:
        opened.image = vips::VImage::tiffload_source(source, decodeOptions());
        break;
    }
    const int tag = intField(opened.image, "orientation", 1);
    opened.orientation = tag >= 1 && tag <= 8 ? tag : 1;
    opened.imageCount = std::max(1, intField(opened.image, "n-pages", 1));
    return opened;
}

}  // namespace dorvex
