#include "dorvex/model/CompressionOptions.h"

#include <fmt/format.h>

#include "dorvex/model/JsonCoding.h"
#include "dorvex/model/QualityModel.h"

namespace dorvex {

int CompressionOptions::quality() const { return QualityModel::quality(level); }

void to_json(json::Json& j, const CompressionOptions& o) {
    j = json::Json::object();
    j["level"] = o.level;
    if (o.format) j["format"] = o.format->rawValue();
    if (o.maxBytes) j["maxBytes"] = *o.maxBytes;
    j["keepDimensions"] = o.keepDimensions;
    j["saveLocation"] = o.saveLocation;
    j["jxlLossless"] = o.jxlLossless;
    j["tiffCompression"] = o.tiffCompression.rawValue();
    j["videoCodec"] = o.videoCodec.rawValue();
    if (o.videoMaxBytes) j["videoMaxBytes"] = *o.videoMaxBytes;
    j["filenamePrefix"] = o.filenamePrefix;
    if (o.metadata != MetadataPolicy::strip) {
        j["keepMetadata"] = o.metadata == MetadataPolicy::keepAll ? "all" : "withoutLocation";
    }
    if (!o.perceptualScore) j["perceptualScore"] = false;
}

namespace {

MetadataPolicy readMetadataPolicy(const json::Json& value, const std::string& path) {
    const std::string raw = json::readString(value, path);
    if (raw == "all") return MetadataPolicy::keepAll;
    if (raw == "withoutLocation") return MetadataPolicy::keepWithoutLocation;
    throw DecodingError(DecodingError::Kind::dataCorrupted, path,
                        fmt::format("Cannot initialize keepMetadata from invalid String value {}", raw));
}

// A stored enumeration: a string that must be one of its raw values.
template <typename Enum>
Enum readCase(const json::Json& value, const std::string& path) {
    std::string raw = json::readString(value, path);
    if (auto found = Enum::fromRawValue(raw)) return *found;
    throw DecodingError(DecodingError::Kind::dataCorrupted, path,
                        fmt::format("Cannot initialize {} from invalid String value {}",
                                    path.substr(path.rfind('.') + 1), raw));
}

}  // namespace

CompressionOptions decodeCompressionOptions(const json::Json& j, const std::string& path) {
    using namespace json;
    requireObject(j, path);
    auto at = [&](const char* key) { return joinPath(path, key); };

    CompressionOptions o;
    o.level = readDouble(requireKey(j, "level", path), at("level"));
    if (!QualityModel::isUsableLevel(o.level)) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, at("level"),
                            fmt::format("The level {} is not a usable number.", o.level));
    }
    o.format = readOptional(j, "format", path, readCase<OutputFormat>);
    o.maxBytes = readOptional(j, "maxBytes", path, readInt);
    o.keepDimensions = readBool(requireKey(j, "keepDimensions", path), at("keepDimensions"));
    o.saveLocation = decodeSaveLocation(requireKey(j, "saveLocation", path), at("saveLocation"));
    o.jxlLossless = readOptional(j, "jxlLossless", path, readBool).value_or(false);
    o.tiffCompression = readOptional(j, "tiffCompression", path, readCase<TIFFCompression>)
                            .value_or(TIFFCompression::lzw);
    o.videoCodec = readOptional(j, "videoCodec", path, readCase<VideoCodec>).value_or(VideoCodec::hevc);
    o.videoMaxBytes = readOptional(j, "videoMaxBytes", path, readInt);
    o.filenamePrefix = readOptional(j, "filenamePrefix", path, readString).value_or("");
    o.metadata = readOptional(j, "keepMetadata", path, readMetadataPolicy).value_or(MetadataPolicy::strip);
    o.perceptualScore = readOptional(j, "perceptualScore", path, readBool).value_or(true);
    return o;
}

CompressionOptions parseCompressionOptions(std::string_view text) {
    json::Json parsed;
    try {
        parsed = json::Json::parse(text);
    } catch (const nlohmann::json::exception&) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, "", "The given data was not valid JSON.");
    }
    return decodeCompressionOptions(parsed);
}

}  // namespace dorvex

std::size_t std::hash<dorvex::CompressionOptions>::operator()(const dorvex::CompressionOptions& o) const noexcept {
    // The JSON form holds every field exactly once, so it hashes them all.
    return std::hash<std::string>()(dorvex::json::Json(o).dump());
}
