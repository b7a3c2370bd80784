#include "dorvex/image/EncodeFailure.h"

#include <fmt/format.h>

#include "image/encoders/ToolRunner.h"
#include "dorvex/text/Translation.h"

namespace dorvex {

std::string EncodeFailure::description() const {
    struct Describe {
        std::string operator()(const Tool& f) const {
            const std::string ending =
                f.signal != 0 ? "terminated by signal " + ToolRunner::signalName(f.signal) : fmt::format("exited {}", f.status);
            if (f.standardError.empty()) return f.name + " " + ending;
            return fmt::format("{} {}: {}", f.name, ending, f.standardError);
        }
        std::string operator()(const ImageIO& f) const { return i18nf("ImageIO 无法写出 {}", f.formatName); }
        std::string operator()(const JpegNotTranscodable& f) const {
            return i18nf("这张 JPEG 无法无损转成 JXL（{}）", f.detail);
        }
        std::string operator()(const QualityTooLow&) const {
            return "pngquant could not reach the minimum quality (exit 99)";
        }
        std::string operator()(const UnusableOutput& f) const {
            return f.encoder + " wrote an unusable file: " + f.problem;
        }
    };
    return std::visit(Describe{}, value);
}

}  // namespace dorvex
