#include "image/encoders/EncodeInputs.h"

#include <utility>

#include "dorvex/image/ToolError.h"
#include "image/encoders/Intermediate.h"
#include "platform/WorkFolder.h"
#include "image/encoders/MetadataWriter.h"

namespace dorvex {

EncodeInputs::EncodeInputs(SourceImage& source, std::filesystem::path workDir)
    : source_(source), workDir_(std::move(workDir)) {}

std::filesystem::path EncodeInputs::png(std::optional<PixelSize> size) { return provide(size, Format::png); }

std::filesystem::path EncodeInputs::ppm(std::optional<PixelSize> size) { return provide(size, Format::ppm); }

std::filesystem::path EncodeInputs::taggedPng(std::optional<PixelSize> size) {
    return provide(size, source_.colourProfile.empty() ? Format::png : Format::taggedPng);
}

std::filesystem::path EncodeInputs::pngOrSource(std::optional<PixelSize> size) {
    if (!source_.isPlainPNG || size.value_or(source_.pixelSize) != source_.pixelSize) return png(size);
    if (!keepPixels_) source_.releasePixels();
    return std::filesystem::absolute(source_.path);
}

std::filesystem::path EncodeInputs::storedJpeg() {
    const std::string name = "src-stored.jpg";
    if (const auto found = files_.find(name); found != files_.end()) return found->second;
    std::filesystem::path file = workDir_ / name;
    if (!WorkFolder::makePrivateFile(file) || !MetadataWriter::rewriteJpeg(source_.path, file, source_.storedMetadata)) throw ToolError::writeFailed(file);
    files_.emplace(name, file);
    return file;
}

std::string EncodeInputs::fileName(PixelSize size, const std::string& extension) {
    return "src-" + std::to_string(size.width) + "x" + std::to_string(size.height) + "." + extension;
}

std::filesystem::path EncodeInputs::provide(std::optional<PixelSize> size, Format format) {
    const PixelSize resolved = size.value_or(source_.pixelSize);
    const std::string name = format == Format::ppm         ? fileName(resolved, "ppm")
                             : format == Format::taggedPng ? fileName(resolved, "icc.png")
                                                           : fileName(resolved, "png");
    if (const auto found = files_.find(name); found != files_.end()) return found->second;

    std::filesystem::path file = workDir_ / name;
    {
        const Picture picture = source_.render(resolved);
        if (!keepPixels_) source_.releasePixels();  // this rendering is the last one needed
        switch (format) {
        case Format::png: Intermediate::writePNG(picture, file); break;
        case Format::taggedPng: Intermediate::writePNGWithProfile(picture, file, source_.colourProfile); break;
        case Format::ppm: Intermediate::writePPM(picture, file); break;
        }
    }
    files_.emplace(name, file);
    return file;
}

}  // namespace dorvex
