#pragma once
// PixelSize: a width and a height in pixels. Text form "1920×1080"; JSON {"width","height"}.

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <functional>
#include <string>

namespace dorvex {

struct PixelSize {
    int width = 0;
    int height = 0;

    bool operator==(const PixelSize&) const = default;

    std::string description() const;  // width, U+00D7, height; no spaces
};

void to_json(nlohmann::ordered_json& j, const PixelSize& size);
// Reads {"width","height"}; throws DecodingError naming `path` when the value does not fit.
PixelSize decodePixelSize(const nlohmann::ordered_json& j, const std::string& path = "");

}  // namespace dorvex

template <>
struct std::hash<dorvex::PixelSize> {
    std::size_t operator()(const dorvex::PixelSize& s) const noexcept {
        return std::hash<long long>()((static_cast<long long>(s.width) << 32) ^
                                      static_cast<unsigned>(s.height));
    }
};
