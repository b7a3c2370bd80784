#include "dorvex/model/PixelSize.h"

#include <limits>

#include <fmt/format.h>

#include "dorvex/model/JsonCoding.h"

namespace dorvex {

std::string PixelSize::description() const { return fmt::format("{}\u00D7{}", width, height); }

void to_json(nlohmann::ordered_json& j, const PixelSize& size) {
    j = nlohmann::ordered_json{{"width", size.width}, {"height", size.height}};
}

namespace {
int readDimension(const json::Json& object, const char* key, const std::string& path) {
    auto value = json::readInt(json::requireKey(object, key, path), json::joinPath(path, key));
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, json::joinPath(path, key),
                            fmt::format("Parsed JSON number <{}> does not fit in Int.", value));
    }
    return int(value);
}
}  // namespace

PixelSize decodePixelSize(const json::Json& j, const std::string& path) {
    json::requireObject(j, path);
    return PixelSize{readDimension(j, "width", path), readDimension(j, "height", path)};
}

}  // namespace dorvex
