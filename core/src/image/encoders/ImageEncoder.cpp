#include "image/encoders/ImageEncoder.h"

#include <chrono>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/FormatProfile.h"
#include "dorvex/model/QualityModel.h"
#include "image/SourceImage.h"
#include "dorvex/image/ToolError.h"
#include "dorvex/image/Toolchain.h"
#include "image/encoders/EncodeInputs.h"
#include "image/encoders/PlatformWriter.h"
#include "image/encoders/ToolRunner.h"
#include "image/encoders/MetadataWriter.h"

namespace dorvex {

namespace {

// The file name of the executable: what a failure names the tool by.
std::string toolName(const std::string& executable) {
    return std::filesystem::path(executable).filename().string();
}

}  // namespace

std::string encoderName(const ImageEncoder& encoder) {
    return std::visit(
        [](const auto& e) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(e)>, ImageIOEncoder>) {
                return "ImageIO";
            } else {
                return toolName(e.executable);
            }
        },
        encoder);
}

namespace {

EncodeFailure toolFailure(const std::string& executable, const ToolRunner::Result& result) {
    return EncodeFailure{EncodeFailure::Tool{toolName(executable), result.status, result.stderrText, result.signal}};
}

// Runs a tool whose only meaningful status is 0.
std::optional<EncodeFailure> runTool(const std::string& executable, const std::vector<std::string>& arguments,
                                     const CancelQuery& isCancelled, std::chrono::milliseconds timeLimit) {
    ToolRunner::Result result = ToolRunner::run(executable, arguments, isCancelled, timeLimit);
    if (result.status == 0) return std::nullopt;
    return toolFailure(executable, result);
}

std::string firstNonEmptyLine(std::string_view text) {
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.find_first_not_of(" \t\r") != std::string_view::npos) return std::string(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return {};
}

struct Encode {
    int quality;
    std::optional<PixelSize> pixelSize;
    EncodeInputs& inputs;
    std::string out;
    const CancelQuery& isCancelled;

    // The time limit of a tool's run on this attempt's picture.
    std::chrono::milliseconds timeLimit() const { return encodeTimeLimit(pixelSize.value_or(inputs.source().pixelSize)); }

    // The attempt's quality on the encoder's own scale.
    int qualityFor(OutputFormat format) const { return FormatProfile::encoderQuality(format, quality); }

    // The tools write no metadata (their inputs carry none): what the output keeps is added to
    // the attempt's file, so that its size is the size of what would be placed.
    std::optional<EncodeFailure> withMetadata(std::optional<EncodeFailure> failure, const std::string& executable,
                                              OutputFormat format) const {
        if (failure || MetadataWriter::add(out, format, inputs.source().metadata)) return failure;
        return EncodeFailure{EncodeFailure::UnusableOutput{toolName(executable), "its metadata could not be added"}};
    }

    std::optional<EncodeFailure> operator()(const MozJPEGEncoder& e) const {
        const std::string in = inputs.ppm(pixelSize).string();
        return withMetadata(runTool(e.executable, MozJPEGEncoder::arguments(quality, in, out), isCancelled, timeLimit()),
                            e.executable, OutputFormat::jpeg);
    }

    std::optional<EncodeFailure> operator()(const PNGQuantEncoder& e) const {
        const std::string in = inputs.pngOrSource(pixelSize).string();
        ToolRunner::Result result = ToolRunner::run(e.executable, PNGQuantEncoder::arguments(quality, in, out), isCancelled, timeLimit());
        if (result.status == 0) return withMetadata(std::nullopt, e.executable, OutputFormat::png);
        if (result.status == PNGQuantEncoder::qualityTooLowStatus) return EncodeFailure{EncodeFailure::QualityTooLow{}};
        return toolFailure(e.executable, result);
    }

    std::optional<EncodeFailure> operator()(const CWebPEncoder& e) const {
        const std::string in = inputs.pngOrSource(pixelSize).string();
        const auto arguments = CWebPEncoder::arguments(qualityFor(OutputFormat::webp), in, out);
        return withMetadata(runTool(e.executable, arguments, isCancelled, timeLimit()), e.executable, OutputFormat::webp);
    }

    std::optional<EncodeFailure> operator()(const CJXLEncoder& e) const {
        if (!e.lossless) {
            const std::string in = inputs.taggedPng(pixelSize).string();
            const auto arguments = CJXLEncoder::lossyArguments(qualityFor(OutputFormat::jxl), in, out);
            return runTool(e.executable, arguments, isCancelled, timeLimit());
        }
        SourceImage& source = inputs.source();
        if (source.isJPEG()) {
            // The transcoding keeps every segment of the JPEG it reads: unless all is kept, it
            // reads one holding only what the output keeps.
            const std::string in = e.metadata == MetadataPolicy::keepAll ? source.path.string() : inputs.storedJpeg().string();
            ToolRunner::Result result =
                ToolRunner::run(e.executable, CJXLEncoder::jpegTranscodeArguments(in, out), isCancelled, timeLimit());
            if (result.status == 0) return std::nullopt;
            std::string detail = firstNonEmptyLine(result.stderrText);
            if (detail.empty()) detail = "exit " + std::to_string(result.status);
            return EncodeFailure{EncodeFailure::JpegNotTranscodable{detail}};
        }
        // An upright PNG is read as it is; anything else through the full-size upright rendering.
        const std::string in = source.isPNG() && source.orientation == 1 ? source.path.string()
                                                                           : inputs.taggedPng(std::nullopt).string();
        return runTool(e.executable, CJXLEncoder::losslessArguments(in, out), isCancelled, timeLimit());
    }

    std::optional<EncodeFailure> operator()(const ImageIOEncoder& e) const {
        SourceImage& source = inputs.source();
        if (const auto* lossy = std::get_if<ImageIOEncoder::Lossy>(&e.mode)) {
            return PlatformWriter::writeLossy(source.render(pixelSize), lossy->format, qualityFor(lossy->format), out,
                                             source.metadata, lossy->metadata);
        }
        if (const auto* tiff = std::get_if<ImageIOEncoder::Tiff>(&e.mode)) {
            return PlatformWriter::writeTiff(source.path, tiff->compression, out, tiff->metadata, source.colourProfile);
        }
        return PlatformWriter::writeIcns(source.path, out);
    }
};

}  // namespace

std::vector<std::string> MozJPEGEncoder::arguments(int quality, const std::string& in, const std::string& out) {
    return {"-quality", std::to_string(quality), "-quant-table", "3", "-progressive", "-optimize", "-outfile", out, in};
}

std::vector<std::string> PNGQuantEncoder::arguments(int quality, const std::string& in, const std::string& out) {
    const auto range = QualityModel::pngQualityRange(quality);
    return {"--quality", std::to_string(range.minimum) + "-" + std::to_string(range.maximum),
            "--speed", "4", "--strip", "--force", "--output", out, in};
}

std::vector<std::string> CWebPEncoder::arguments(int quality, const std::string& in, const std::string& out) {
    return {"-quiet", "-q", std::to_string(quality), in, "-o", out};
}

std::vector<std::string> CJXLEncoder::lossyArguments(int quality, const std::string& in, const std::string& out) {
    return {in, out, "-q", std::to_string(quality), "--quiet"};
}

std::vector<std::string> CJXLEncoder::jpegTranscodeArguments(const std::string& in, const std::string& out) {
    return {in, out, "--lossless_jpeg=1", "--quiet"};
}

std::vector<std::string> CJXLEncoder::losslessArguments(const std::string& in, const std::string& out) {
    return {in, out, "-d", "0", "-x", "strip=exif", "-x", "strip=xmp", "-x", "strip=jumbf", "--quiet"};
}

ImageEncoder encoderFor(const Toolchain& toolchain, OutputFormat format, const CompressionOptions& options) {
    using Tool = Toolchain::Tool;
    auto require = [&](Tool tool) -> const std::string& {
        const auto& located = toolchain.path(tool);
        if (!located) throw Toolchain::missingError(tool);
        return *located;
    };
    switch (format) {
        case OutputFormat::jpeg: return MozJPEGEncoder{require(Tool::cjpeg)};
        case OutputFormat::png: return PNGQuantEncoder{require(Tool::pngquant)};
        case OutputFormat::webp: return CWebPEncoder{require(Tool::cwebp)};
        case OutputFormat::jxl: return CJXLEncoder{require(Tool::cjxl), options.usesLosslessJXL(), options.metadata};
        case OutputFormat::avif:
        case OutputFormat::heic: return ImageIOEncoder{ImageIOEncoder::Lossy{format, options.metadata}};
        case OutputFormat::tiff: return ImageIOEncoder{ImageIOEncoder::Tiff{options.tiffCompression, options.metadata}};
        case OutputFormat::icns: return ImageIOEncoder{ImageIOEncoder::Icns{}};
        case OutputFormat::mp4:
        case OutputFormat::mov:
            throw ToolError::encoderMissing(std::string(format.displayName()), "videos are compressed by VideoCompressor");
        case OutputFormat::pdf:
            throw ToolError::encoderMissing("PDF", "PDFs are compressed by PDFCompressor");
    }
    throw ToolError::encoderMissing(std::string(format.displayName()), "no encoder for this format");
}

std::optional<EncodeFailure> encode(const ImageEncoder& encoder, int quality, std::optional<PixelSize> pixelSize,
                                    EncodeInputs& inputs, const std::filesystem::path& out,
                                    const CancelQuery& isCancelled) {
    return std::visit(Encode{quality, pixelSize, inputs, out.string(), isCancelled}, encoder);
}

}  // namespace dorvex
