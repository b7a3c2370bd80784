#pragma once
// OutputFormat and the other small enumerations of a job's options (TIFFCompression, VideoCodec):
// raw values as stored in JSON, file extensions, display names and file types.
//
// Each is a thin struct around a plain enum, so that `OutputFormat::jpeg` names a case, a value
// switches like an enum, and the members read as `format.fileExtension()`.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "dorvex/model/FileType.h"

namespace dorvex {

struct OutputFormat {
    enum Value : std::uint8_t { jpeg, png, webp, avif, heic, jxl, tiff, icns, mp4, mov, pdf };

    constexpr OutputFormat(Value v) : value(v) {}  // NOLINT(google-explicit-constructor)
    constexpr operator Value() const { return value; }  // NOLINT(google-explicit-constructor)

    // Every case in declaration order; source-type detection walks this order.
    static std::span<const OutputFormat> allCases();
    // The formats a user may pick; tiff, icns, mp4, mov and pdf are only reached as the source's own.
    static std::span<const OutputFormat> selectable();
    static std::optional<OutputFormat> fromRawValue(std::string_view raw);
    // The format of a file type: the first case whose type it conforms to; jpeg when there is no
    // type or none matches.
    static OutputFormat original(const std::optional<FileType>& type);

    std::string_view rawValue() const;
    std::string_view fileExtension() const;  // "jpg" for jpeg, the raw value otherwise
    std::string_view displayName() const;
    const FileType& fileType() const;
    bool isVideo() const { return value == mp4 || value == mov; }
    bool isPDF() const { return value == pdf; }

    Value value;
};

struct TIFFCompression {
    enum Value : std::uint8_t { lzw, zip };

    constexpr TIFFCompression(Value v) : value(v) {}  // NOLINT(google-explicit-constructor)
    constexpr operator Value() const { return value; }  // NOLINT(google-explicit-constructor)

    static std::span<const TIFFCompression> allCases();
    static std::optional<TIFFCompression> fromRawValue(std::string_view raw);
    std::string_view rawValue() const;

    Value value;
};

struct VideoCodec {
    enum Value : std::uint8_t { hevc, h264 };

    constexpr VideoCodec(Value v) : value(v) {}  // NOLINT(google-explicit-constructor)
    constexpr operator Value() const { return value; }  // NOLINT(google-explicit-constructor)

    static std::span<const VideoCodec> allCases();
    static std::optional<VideoCodec> fromRawValue(std::string_view raw);
    std::string_view rawValue() const;
    std::string_view displayName() const;  // "HEVC", "H.264"

    Value value;
};

// The case of `cases` whose raw value is `raw` exactly; nullopt otherwise. Shared by every
// enumeration that is stored by its raw value.
template <typename Enum>
std::optional<Enum> caseWithRawValue(std::span<const Enum> cases, std::string_view raw) {
    for (Enum candidate : cases) {
        if (candidate.rawValue() == raw) return candidate;
    }
    return std::nullopt;
}

}  // namespace dorvex

template <>
struct std::hash<dorvex::OutputFormat> {
    std::size_t operator()(dorvex::OutputFormat f) const noexcept { return std::size_t(f.value); }
};
