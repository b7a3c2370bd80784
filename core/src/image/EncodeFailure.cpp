#include "dorvex/image/EncodeFailure.h"

#include <fmt/format.h>

namespace dorvex {

std::string EncodeFailure::description() const {
    struct Describe {
        std::string operator()(const Tool& f) const {
            return fmt::format("{} exited {}: {}", f.name, f.status, f.standardError);
        }
        std::string operator()(const ImageIO& f) const { return "ImageIO 无法写出 " + f.formatName; }
        std::string operator()(const JpegNotTranscodable& f) const {
            return "这张 JPEG 无法无损转成 JXL（" + f.detail + "）";
        }
        std::string operator()(const QualityTooLow&) const {
            return "pngquant could not reach the minimum quality (exit 99)";
        }
    };
    return std::visit(Describe{}, value);
}

}  // namespace dorvex
