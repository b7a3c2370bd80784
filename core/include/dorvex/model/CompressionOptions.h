#pragma once
// CompressionOptions: everything one job is asked to do. Stored as JSON inside every preset and
// in the app's settings, so its JSON form — key order, keys left out when empty, defaults for keys
// that older files lack — is a contract with files already on users' disks.

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "dorvex/model/OutputFormat.h"
#include "dorvex/model/SaveLocation.h"

namespace dorvex {

// What an output keeps of its source's metadata (EXIF, XMP, ICC profile). By default it keeps
// none; keeping it leaves out the GPS position unless asked for too.
enum class MetadataPolicy : std::uint8_t { strip, keepWithoutLocation, keepAll };

struct CompressionOptions {
    double level = 3;
    std::optional<OutputFormat> format;  // none: the source's own format
    std::optional<std::int64_t> maxBytes;  // byte limit for each image
    bool keepDimensions = false;  // forbids downscaling while meeting a byte limit
    SaveLocation saveLocation = SaveLocation::sourceFolder();
    bool jxlLossless = false;
    TIFFCompression tiffCompression = TIFFCompression::lzw;
    VideoCodec videoCodec = VideoCodec::hevc;
    std::optional<std::int64_t> videoMaxBytes;  // byte limit for each video
    std::string filenamePrefix;
    MetadataPolicy metadata = MetadataPolicy::strip;  // stored only when not strip
    // Whether a written picture's result carries its PerceptualScore; stored only when off.
    bool perceptualScore = true;

    bool operator==(const CompressionOptions&) const = default;

    // The level's nominal encoder quality. Throws InvalidLevelError for an unusable level.
    int quality() const;
    // JPEG XL output that is lossless: only with jxl chosen explicitly.
    bool usesLosslessJXL() const { return format == OutputFormat::jxl && jxlLossless; }
};

void to_json(nlohmann::ordered_json& j, const CompressionOptions& options);
// Present-or-default reading; "level", "keepDimensions" and "saveLocation" are required, a level
// must be usable (finite), a wrong type fails the whole decode. Throws DecodingError.
CompressionOptions decodeCompressionOptions(const nlohmann::ordered_json& j, const std::string& path = "");
// Parses JSON text first; text that is no JSON fails with a dataCorrupted DecodingError.
CompressionOptions parseCompressionOptions(std::string_view text);

}  // namespace dorvex

template <>
struct std::hash<dorvex::CompressionOptions> {
    std::size_t operator()(const dorvex::CompressionOptions& options) const noexcept;
};
