#include "dorvex/model/OutputFormat.h"

namespace dorvex {

namespace {

struct FormatRow {
    std::string_view raw;
    std::string_view extension;
    std::string_view displayName;
    const FileType* type;
};

const FormatRow& row(OutputFormat format) {
    static const std::array<FormatRow, 11> rows{{
        {"jpeg", "jpg", "JPEG", &FileType::jpeg},
        {"png", "png", "PNG", &FileType::png},
        {"webp", "webp", "WebP", &FileType::webp},
        {"avif", "avif", "AVIF", &FileType::avif},
        {"heic", "heic", "HEIC", &FileType::heic},
        {"jxl", "jxl", "JPEG XL", &FileType::jxl},
        {"tiff", "tiff", "TIFF", &FileType::tiff},
        {"icns", "icns", "ICNS", &FileType::icns},
        {"mp4", "mp4", "MP4", &FileType::mpeg4Movie},
        {"mov", "mov", "MOV", &FileType::quickTimeMovie},
        {"pdf", "pdf", "PDF", &FileType::pdf},
    }};
    return rows[std::size_t(format.value)];
}

constexpr std::array<OutputFormat, 11> kAllFormats{
    OutputFormat::jpeg, OutputFormat::png,  OutputFormat::webp, OutputFormat::avif,
    OutputFormat::heic, OutputFormat::jxl,  OutputFormat::tiff, OutputFormat::icns,
    OutputFormat::mp4,  OutputFormat::mov,  OutputFormat::pdf};
constexpr std::array<OutputFormat, 6> kSelectable{OutputFormat::jpeg, OutputFormat::png,
                                                  OutputFormat::webp, OutputFormat::avif,
                                                  OutputFormat::heic, OutputFormat::jxl};
constexpr std::array<TIFFCompression, 2> kTIFFCompressions{TIFFCompression::lzw, TIFFCompression::zip};
constexpr std::array<VideoCodec, 2> kVideoCodecs{VideoCodec::hevc, VideoCodec::h264};

}  // namespace

std::span<const OutputFormat> OutputFormat::allCases() { return kAllFormats; }
std::span<const OutputFormat> OutputFormat::selectable() { return kSelectable; }

std::optional<OutputFormat> OutputFormat::fromRawValue(std::string_view raw) {
    return caseWithRawValue(allCases(), raw);
}

OutputFormat OutputFormat::original(const std::optional<FileType>& type) {
    if (!type) return jpeg;
    for (OutputFormat format : allCases()) {
        if (type->conforms(format.fileType())) return format;
    }
    return jpeg;
}

std::string_view OutputFormat::rawValue() const { return row(*this).raw; }
std::string_view OutputFormat::fileExtension() const { return row(*this).extension; }
std::string_view OutputFormat::displayName() const { return row(*this).displayName; }
const FileType& OutputFormat::fileType() const { return *row(*this).type; }

std::span<const TIFFCompression> TIFFCompression::allCases() { return kTIFFCompressions; }
std::optional<TIFFCompression> TIFFCompression::fromRawValue(std::string_view raw) {
    return caseWithRawValue(allCases(), raw);
}
std::string_view TIFFCompression::rawValue() const { return value == lzw ? "lzw" : "zip"; }

std::span<const VideoCodec> VideoCodec::allCases() { return kVideoCodecs; }
std::optional<VideoCodec> VideoCodec::fromRawValue(std::string_view raw) {
    return caseWithRawValue(allCases(), raw);
}
std::string_view VideoCodec::rawValue() const { return value == hevc ? "hevc" : "h264"; }
std::string_view VideoCodec::displayName() const { return value == hevc ? "HEVC" : "H.264"; }

}  // namespace dorvex
