#include "image/encoders/IcnsFile.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "image/VipsBlob.h"
#include "image/encoders/IcnsFormat.h"
#include "image/encoders/IcnsPackBits.h"
#include "image/encoders/IcnsPayload.h"
#include "image/VipsMetadata.h"
#include "image/VipsPicture.h"
#include "image/VipsRuntime.h"

namespace dorvex {

using vips::VImage;
using namespace IcnsFormat;

// ---- errors ----------------------------------------------------------------------------------

IcnsError IcnsError::unreadable(const std::filesystem::path& path) {
    IcnsError error(Kind::unreadable, "cannot read " + path.string());
    error.file = path;
    return error;
}

IcnsError IcnsError::malformed(const std::filesystem::path& path, const std::string& detail) {
    const std::string subject = path.empty() ? std::string("not") : path.string() + " is not";
    IcnsError error(Kind::malformed, subject + " a valid ICNS file: " + detail);
    error.file = path;
    return error;
}

IcnsError IcnsError::writeFailed(const std::filesystem::path& path) {
    IcnsError error(Kind::writeFailed, "cannot write " + path.string());
    error.file = path;
    return error;
}

namespace {

// ---- parsing ---------------------------------------------------------------------------------

struct ParseFailure {
    std::string detail;
};

IcnsFile parseFamily(ByteView bytes) {
    if (bytes.size() < elementHeaderBytes) {
        throw ParseFailure{fmt::format("{} bytes, shorter than the 8-byte header", bytes.size())};
    }
    if (std::memcmp(bytes.data(), "icns", 4) != 0) throw ParseFailure{"no \"icns\" signature"};
    const std::uint32_t declared = readBigEndian32(bytes.data() + 4);
    if (declared < elementHeaderBytes) {
        throw ParseFailure{fmt::format("declared length {} is shorter than the header", declared)};
    }
    if (declared > bytes.size()) {
        throw ParseFailure{fmt::format("truncated: declares {} bytes, has {}", declared, bytes.size())};
    }

    IcnsFile family;
    std::size_t offset = elementHeaderBytes;
    const std::size_t end = declared;
    while (offset < end) {
        if (end - offset < elementHeaderBytes) {
            throw ParseFailure{fmt::format("truncated element header at offset {}", offset)};
        }
        const ByteView type = bytes.subspan(offset, 4);
        const std::uint32_t length = readBigEndian32(bytes.data() + offset + 4);
        if (length < elementHeaderBytes) {
            throw ParseFailure{fmt::format("element \"{}\" at offset {} declares length {}, shorter than its header",
                                           printableType(type), offset, length)};
        }
        if (length > end - offset) {
            throw ParseFailure{fmt::format("element \"{}\" at offset {} declares length {}, past the end of the file",
                                           printableType(type), offset, length)};
        }
        const ByteView payload = bytes.subspan(offset + elementHeaderBytes, length - elementHeaderBytes);
        family.elements.push_back({std::string(type.begin(), type.end()), Bytes(payload.begin(), payload.end())});
        offset += length;
    }
    return family;
}

// ---- libvips helpers -------------------------------------------------------------------------

// 8-bit sRGB RGBA with straight alpha, fully in memory.
Picture toPicture(VImage image) {
    if (image.get_typeof("icc-profile-data") != 0) {
        try {
            image = image.icc_transform("srgb", VImage::option()->set("embedded", true));
        } catch (const vips::VError&) {
            // An unusable profile: fall back to the image's own interpretation.
        }
    }
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
    if (image.bands() == 3) image = image.bandjoin_const({255.0});
    if (image.bands() > 4) image = image.extract_band(0, VImage::option()->set("n", 4));
    image = image.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    return makePicture(image.copy_memory());
}

// Interleaved RGBA bytes of a side × side icon as a Picture.
Picture pictureFromRgba(Bytes& rgba, int side) {
    VImage image = VImage::new_from_memory(rgba.data(), rgba.size(), side, side, 4, VIPS_FORMAT_UCHAR);
    image = image.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    return makePicture(image.copy_memory());
}

// ---- raw element decoding --------------------------------------------------------------------

// The three planes (R, G, B) of a raw RGB element; nullopt when they cannot be decoded.
std::optional<Bytes> rawPlanes(const IcnsElement& element, int side) {
    const std::size_t pixels = std::size_t(side) * std::size_t(side);
    const ByteView body = rawBody(element);
    if (!isPlainRaw(body, pixels)) return unpackRuns(body, pixels * 3);
    Bytes planes(pixels * 3);
    for (std::size_t i = 0; i < pixels; ++i) {
        for (std::size_t channel = 0; channel < 3; ++channel) planes[channel * pixels + i] = body[i * 4 + 1 + channel];
    }
    return planes;
}

std::optional<Picture> decodeRaw(const IcnsFile& family, const IcnsElement& element) {
    const RawType* raw = rawTypeOf(element.type);
    if (raw == nullptr) return std::nullopt;
    const std::size_t pixels = std::size_t(raw->side) * std::size_t(raw->side);
    const std::optional<Bytes> planes = rawPlanes(element, raw->side);
    if (!planes) return std::nullopt;
    const auto mask = std::find_if(family.elements.begin(), family.elements.end(), [&](const IcnsElement& e) {
        return e.type == raw->mask && e.data.size() == pixels;
    });
    Bytes rgba(pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i) {
        for (std::size_t channel = 0; channel < 3; ++channel) rgba[i * 4 + channel] = (*planes)[channel * pixels + i];
        rgba[i * 4 + 3] = mask != family.elements.end() ? mask->data[i] : 255;
    }
    return pictureFromRgba(rgba, raw->side);
}

std::optional<Picture> decodeArgb(const IcnsElement& element) {
    const std::optional<int> side = argbSideOf(element.type);
    if (!side) return std::nullopt;
    const std::size_t pixels = std::size_t(*side) * std::size_t(*side);
    const std::optional<Bytes> planes = unpackRuns(ByteView(element.data).subspan(argbPrefix.size()), pixels * 4);
    if (!planes) return std::nullopt;
    Bytes rgba(pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i) {
        rgba[i * 4 + 0] = (*planes)[1 * pixels + i];
        rgba[i * 4 + 1] = (*planes)[2 * pixels + i];
        rgba[i * 4 + 2] = (*planes)[3 * pixels + i];
        rgba[i * 4 + 3] = (*planes)[0 * pixels + i];
    }
    return pictureFromRgba(rgba, *side);
}

}  // namespace

// ---- IcnsElement -----------------------------------------------------------------------------

IcnsElement::Kind IcnsElement::kind() const {
    const ByteView payload(data);
    if (type == tableOfContentsType) return Kind::tableOfContents;
    if (startsWith(payload, pngSignature)) return Kind::png;
    if (startsWith(payload, jp2Signature) || startsWith(payload, j2kCodestreamSignature)) return Kind::jpeg2000;
    if (argbSideOf(type) && startsWith(payload, argbPrefix)) return Kind::argb;
    if (rawTypeOf(type) != nullptr) return Kind::rgb;
    if (isMaskType(type)) return Kind::mask;
    return Kind::other;
}

bool IcnsElement::isImage() const {
    const Kind k = kind();
    return k == Kind::png || k == Kind::jpeg2000 || k == Kind::argb || k == Kind::rgb;
}

// ---- IcnsFile --------------------------------------------------------------------------------

IcnsFile IcnsFile::parse(std::span<const std::uint8_t> bytes) {
    try {
        return parseFamily(bytes);
    } catch (const ParseFailure& failure) {
        throw IcnsError::malformed({}, failure.detail);
    }
}

IcnsFile IcnsFile::read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw IcnsError::unreadable(file);
    std::error_code error;
    const std::uintmax_t fileBytes = std::filesystem::file_size(file, error);
    if (error) throw IcnsError::unreadable(file);

    // Read the header first, so that a large file that is not a family is not read whole.
    std::array<std::uint8_t, elementHeaderBytes> header{};
    const std::size_t headerBytes = std::size_t(std::min<std::uintmax_t>(fileBytes, header.size()));
    if (!in.read(reinterpret_cast<char*>(header.data()), std::streamsize(headerBytes))) {
        throw IcnsError::unreadable(file);
    }
    try {
        if (headerBytes < header.size()) parseFamily(ByteView(header.data(), headerBytes));  // throws
        if (std::memcmp(header.data(), "icns", 4) != 0) throw ParseFailure{"no \"icns\" signature"};
        const std::uint32_t declared = readBigEndian32(header.data() + 4);
        if (declared > fileBytes) {
            throw ParseFailure{fmt::format("truncated: declares {} bytes, has {}", declared, fileBytes)};
        }
        Bytes bytes(std::max<std::size_t>(declared, header.size()));
        std::copy(header.begin(), header.end(), bytes.begin());
        const auto rest = std::streamsize(bytes.size() - header.size());
        if (rest > 0 && !in.read(reinterpret_cast<char*>(bytes.data() + header.size()), rest)) {
            throw IcnsError::unreadable(file);
        }
        return parseFamily(bytes);
    } catch (const ParseFailure& failure) {
        throw IcnsError::malformed(file, failure.detail);
    }
}

std::size_t IcnsFile::imageCount() const {
    return std::size_t(std::count_if(elements.begin(), elements.end(), [](const IcnsElement& e) { return e.isImage(); }));
}

std::optional<PixelSize> IcnsFile::pixelSize(std::size_t index) const {
    if (index >= elements.size()) return std::nullopt;
    const IcnsElement& element = elements[index];
    switch (element.kind()) {
        case IcnsElement::Kind::png: {
            // The IHDR chunk follows the signature: length, "IHDR", width, height.
            const ByteView png(element.data);
            if (png.size() < 24 || std::memcmp(png.data() + 12, "IHDR", 4) != 0) return std::nullopt;
            const std::uint32_t width = readBigEndian32(png.data() + 16);
            const std::uint32_t height = readBigEndian32(png.data() + 20);
            if (width > std::uint32_t(std::numeric_limits<int>::max()) ||
                height > std::uint32_t(std::numeric_limits<int>::max())) {
                return std::nullopt;
            }
            return PixelSize{int(width), int(height)};
        }
        case IcnsElement::Kind::jpeg2000:
            try {
                VipsRuntime::start();
                const VImage header = loadPayload(IcnsElement::Kind::jpeg2000, element.data);
                return PixelSize{header.width(), header.height()};
            } catch (const vips::VError&) {
                return std::nullopt;
            }
        case IcnsElement::Kind::argb: {
            const int side = argbSideOf(element.type).value_or(0);
            return PixelSize{side, side};
        }
        case IcnsElement::Kind::rgb: {
            const int side = rawTypeOf(element.type)->side;
            return PixelSize{side, side};
        }
        case IcnsElement::Kind::mask:
        case IcnsElement::Kind::tableOfContents:
        case IcnsElement::Kind::other:
            break;
    }
    return std::nullopt;
}

std::optional<Picture> IcnsFile::decode(std::size_t index) const {
    if (index >= elements.size()) return std::nullopt;
    const IcnsElement& element = elements[index];
    const std::optional<PixelSize> size = pixelSize(index);
    if (!size || size->width < 1 || size->height < 1 || size->width > maxIconSide || size->height > maxIconSide) {
        return std::nullopt;
    }
    VipsRuntime::start();
    try {
        switch (const IcnsElement::Kind kind = element.kind()) {
            case IcnsElement::Kind::png:
            case IcnsElement::Kind::jpeg2000: {
                const VImage image = loadPayload(kind, element.data);
                if (!fitsIconLimit(image)) return std::nullopt;
                return toPicture(image);
            }
            case IcnsElement::Kind::argb:
                return decodeArgb(element);
            case IcnsElement::Kind::rgb:
                return decodeRaw(*this, element);
            case IcnsElement::Kind::mask:
            case IcnsElement::Kind::tableOfContents:
            case IcnsElement::Kind::other:
                break;
        }
    } catch (const vips::VError&) {
        // Fall through: the element does not decode.
    }
    return std::nullopt;
}

std::optional<Picture> IcnsFile::decodeLargest() const {
    std::vector<std::pair<long long, std::size_t>> bySize;  // (area, index)
    for (std::size_t index = 0; index < elements.size(); ++index) {
        if (const std::optional<PixelSize> size = pixelSize(index)) {
            bySize.emplace_back(static_cast<long long>(size->width) * size->height, index);
        }
    }
    std::stable_sort(bySize.begin(), bySize.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& candidate : bySize) {
        if (std::optional<Picture> picture = decode(candidate.second)) return picture;
    }
    return std::nullopt;
}

}  // namespace dorvex
