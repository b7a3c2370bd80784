#include "engine/LibraryVersionsHere.h"

#include <libheif/heif.h>
#include <qpdf/QPDF.hh>
#include <vips/vips.h>

#include "video/VideoModule.h"

namespace dorvex::LibraryVersions {

namespace {

// libheif's encoder for each compression it writes for us, by its own description
// ("x265 HEVC encoder (3.5+1-f0c1022b6)"); none when the build has no such encoder.
std::vector<std::string> heifEncoders() {
    std::vector<std::string> names;
    for (const heif_compression_format compression : {heif_compression_AV1, heif_compression_HEVC}) {
        const heif_encoder_descriptor* descriptor = nullptr;
        if (heif_context_get_encoder_descriptors(nullptr, compression, nullptr, &descriptor, 1) == 1) {
            names.emplace_back(heif_encoder_descriptor_get_name(descriptor));
        }
    }
    return names;
}

// FFmpeg as the video module finds it; the reason in place of the version when the module is missing.
Library ffmpeg() {
    Library library{"FFmpeg", "", {OutputFormat::mp4, OutputFormat::mov}, {}};
    std::string error;
    if (std::optional<VideoModule::Library> loaded = VideoModule::library(error)) {
        library.version = loaded->version;
        library.encoders = loaded->encoders;
    } else {
        library.version = error;
    }
    return library;
}

}  // namespace

std::vector<Library> here() {
    // libheif's plug-in encoders are known only once it has started; the count is balanced below.
    const bool heifStarted = heif_init(nullptr).code == heif_error_Ok;
    std::vector<Library> libraries{
        {"libvips", vips_version_string(), {OutputFormat::avif, OutputFormat::tiff}, {}},
        {"libheif", heif_get_version(), {OutputFormat::avif, OutputFormat::heic}, heifEncoders()},
        ffmpeg(),
        {"qpdf", QPDF::QPDFVersion(), {OutputFormat::pdf}, {}},
    };
    if (heifStarted) heif_deinit();
    return libraries;
}

}  // namespace dorvex::LibraryVersions
