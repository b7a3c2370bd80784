#pragma once
// ImageEncoder: turns one attempt — a quality and an optional pixel size — into one file. The
// five encoders are small immutable values (the external tools cjpeg, pngquant, cwebp and cjxl,
// and our platform writer for AVIF, HEIC, TIFF and ICNS); encode() returns an EncodeFailure for
// an ordinary refusal and throws for the unexpected (a tool that cannot be launched, a source
// that cannot be rendered, an intermediate that cannot be written) and for a cancelled job.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "dorvex/image/EncodeFailure.h"
#include "dorvex/model/Cancellation.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/OutputFormat.h"
#include "dorvex/model/PixelSize.h"

namespace dorvex {

class EncodeInputs;
struct Toolchain;

// The arguments of every tool run are fixed; `in` is the encoder's input file, `out` the attempt.
struct MozJPEGEncoder {
    std::string executable;
    bool operator==(const MozJPEGEncoder&) const = default;
    static std::vector<std::string> arguments(int quality, const std::string& in, const std::string& out);
};

struct PNGQuantEncoder {
    std::string executable;
    bool operator==(const PNGQuantEncoder&) const = default;
    static std::vector<std::string> arguments(int quality, const std::string& in, const std::string& out);
    static constexpr int qualityTooLowStatus = 99;
};

struct CWebPEncoder {
    std::string executable;
    bool operator==(const CWebPEncoder&) const = default;
    static std::vector<std::string> arguments(int quality, const std::string& in, const std::string& out);
};

struct CJXLEncoder {
    std::string executable;
    bool lossless = false;  // quality and pixel size are then ignored: always the full source
    MetadataPolicy metadata = MetadataPolicy::strip;  // what a JPEG transcoded losslessly keeps
    bool operator==(const CJXLEncoder&) const = default;
    static std::vector<std::string> lossyArguments(int quality, const std::string& in, const std::string& out);
    static std::vector<std::string> jpegTranscodeArguments(const std::string& in, const std::string& out);
    static std::vector<std::string> losslessArguments(const std::string& in, const std::string& out);
};

// Our own writer for the formats that no external tool writes here.
struct ImageIOEncoder {
    struct Lossy {
        OutputFormat format;  // avif or heic
        // What the output keeps follows from SourceImage::metadata; the policy picks the writer
        // (PlatformWriter::writeLossy).
        MetadataPolicy metadata = MetadataPolicy::strip;
        bool operator==(const Lossy&) const = default;
    };
    struct Tiff {
        TIFFCompression compression;
        // TIFF pages are stored as read (not upright, in their own colours), so the metadata they
        // keep follows from the policy page by page.
        MetadataPolicy metadata = MetadataPolicy::strip;
        bool operator==(const Tiff&) const = default;
    };
    struct Icns {
        bool operator==(const Icns&) const = default;
    };
    using Mode = std::variant<Lossy, Tiff, Icns>;

    Mode mode;
    bool operator==(const ImageIOEncoder&) const = default;
};

using ImageEncoder = std::variant<MozJPEGEncoder, PNGQuantEncoder, CWebPEncoder, CJXLEncoder, ImageIOEncoder>;

// The encoder for a target format: the toolchain's external tool for JPEG, PNG, WebP and JPEG XL
// (lossless only when the options name JPEG XL explicitly and ask for it), our platform writer for
// AVIF, HEIC, TIFF and ICNS. Throws ToolError::encoderMissing when the tool was not found, and for
// videos and PDFs, which have compressors of their own.
ImageEncoder encoderFor(const Toolchain& toolchain, OutputFormat format, const CompressionOptions& options);

// What failures name the encoder by: the tool's file name ("cwebp"), or "ImageIO" for our writer.
std::string encoderName(const ImageEncoder& encoder);

// How long one encoder run may take before it counts as hung: two minutes and half a minute per
// megapixel encoded. Generous on purpose (cjxl's lossless effort on a 268 MP picture on a slow
// machine must never be cut); it is there so that a hung encoder cannot hold its job forever.
// (Inline: the engine's side of the worker processes needs it without the encoders.)
inline std::chrono::milliseconds encodeTimeLimit(PixelSize size) {
    const auto pixels = std::int64_t(size.width) * std::int64_t(size.height);
    return std::chrono::minutes(2) + std::chrono::milliseconds(pixels * 30 / 1000);
}

// Writes `out` for one attempt. `quality` is nominal (the level scale's): each encoder is handed
// the quality on its own scale that looks about the same (FormatProfile::encoderQuality), which is
// what the argument lists above and the platform writer take. `pixelSize` none means the source's
// own size. An external tool is ended when `isCancelled` answers true while it runs, and
// ToolCancelled ("已取消") is thrown.
std::optional<EncodeFailure> encode(const ImageEncoder& encoder, int quality, std::optional<PixelSize> pixelSize,
                                    EncodeInputs& inputs, const std::filesystem::path& out,
                                    const CancelQuery& isCancelled = nullptr);

}  // namespace dorvex
