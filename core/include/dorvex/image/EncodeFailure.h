#pragma once
// EncodeFailure: the ordinary ways an encoder declines an attempt — a tool exiting non-zero, the
// platform writer unable to write a format, a JPEG that cannot be transcoded losslessly, or the
// PNG quantizer missing its minimum quality. Returned as a value, never thrown. A job that ends
// because of it tells the user through FailureText::refused; description() is then the detail,
// and the quantizer's miss is no failure but a skip (SkipReason::tooManyColors).

#include <cstdint>
#include <string>
#include <variant>

namespace dorvex {

struct EncodeFailure {
    struct Tool {
        std::string name;  // last path component of the executable
        std::int32_t status;
        std::string standardError;
        int signal = 0;  // the signal that ended the tool (status is then 128 + it), or 0
        bool operator==(const Tool&) const = default;
    };
    struct ImageIO {
        std::string formatName;  // display name, e.g. "AVIF"
        bool operator==(const ImageIO&) const = default;
    };
    struct JpegNotTranscodable {
        std::string detail;
        bool operator==(const JpegNotTranscodable&) const = default;
    };
    struct QualityTooLow {
        bool operator==(const QualityTooLow&) const = default;
    };
    // The encoder reported success, but what it wrote is no picture of the size asked for.
    struct UnusableOutput {
        std::string encoder;  // "cwebp", "ImageIO"
        std::string problem;  // "it is empty", "it does not decode", …
        bool operator==(const UnusableOutput&) const = default;
    };

    std::variant<Tool, ImageIO, JpegNotTranscodable, QualityTooLow, UnusableOutput> value;
    bool operator==(const EncodeFailure&) const = default;

    // "cjpeg exited 1: bad input", "cjpeg terminated by signal SEGV", "ImageIO 无法写出 AVIF", "这张 JPEG 无法无损转成 JXL（exit 1）",
    // "pngquant could not reach the minimum quality (exit 99)",
    // "cwebp wrote an unusable file: it does not decode".
    std::string description() const;
};

}  // namespace dorvex
