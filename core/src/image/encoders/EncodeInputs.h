#pragma once
// EncodeInputs: the intermediate files of one encode session — the source rendered at a pixel
// size and written as "src-<W>x<H>.png" or ".ppm" in the session's work folder. Each (size,
// format) is rendered and written at most once; later requests get the same path without the file
// being looked at again. A plain PNG source is given as it is where a PNG of its own size is asked
// for. Owned by the session and used from its thread only.

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>

#include "dorvex/model/PixelSize.h"
#include "image/SourceImage.h"

namespace dorvex {

class EncodeInputs {
public:
    EncodeInputs(SourceImage& source, std::filesystem::path workDir);
    EncodeInputs(const EncodeInputs&) = delete;
    EncodeInputs& operator=(const EncodeInputs&) = delete;

    // The PNG (or PPM) of the source at `size` (nullopt: the source's pixelSize). Throws what
    // rendering (ToolError::renderFailed) or writing (ToolError::writeFailed) throws; nothing is
    // remembered then, so a later call tries again.
    std::filesystem::path png(std::optional<PixelSize> size = std::nullopt);
    std::filesystem::path ppm(std::optional<PixelSize> size = std::nullopt);

    // What cjxl is given: png(size) with the source's colour profile in it, as
    // "src-<W>x<H>.icc.png", when the pixels are not sRGB (SourceImage::colourProfile); cjxl
    // encodes the colour space it reads. png(size) itself for an sRGB source. (pngquant and cwebp
    // take no profile: what they write has it added.)
    std::filesystem::path taggedPng(std::optional<PixelSize> size = std::nullopt);

    // What pngquant and cwebp are given for `size`: the source file itself (its absolute path)
    // when it is a plain PNG (SourceImage::isPlainPNG) and `size` is its own, otherwise png(size).
    // They then write the same bytes without an intermediate being rendered and written (cjxl
    // does not: it keeps an alpha channel it reads, opaque or not).
    std::filesystem::path pngOrSource(std::optional<PixelSize> size = std::nullopt);

    // Whether the source's pixels are kept once an input has been provided (the default). A job
    // of a single attempt lets go of them before its encoder runs.
    void keepSourcePixels(bool keep) { keepPixels_ = keep; }

    // The source JPEG rewritten with its coefficients unchanged and only the metadata kept for
    // pixels as stored (SourceImage::storedMetadata), as "src-stored.jpg"; written once. Throws
    // ToolError::writeFailed when it cannot be.
    std::filesystem::path storedJpeg();

    SourceImage& source() const { return source_; }
    const std::filesystem::path& workDir() const { return workDir_; }

    // "src-1920x1080.png" for {1920, 1080} and "png".
    static std::string fileName(PixelSize size, const std::string& extension);

private:
    enum class Format { png, taggedPng, ppm };
    std::filesystem::path provide(std::optional<PixelSize> size, Format format);

    SourceImage& source_;
    std::filesystem::path workDir_;
    std::unordered_map<std::string, std::filesystem::path> files_;
    bool keepPixels_ = true;
};

}  // namespace dorvex
