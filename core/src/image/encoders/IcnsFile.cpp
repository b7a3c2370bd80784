#include "dorvex/image/encoders/IcnsFile.h"

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
#include "image/VipsMetadata.h"
#include "image/VipsPicture.h"
#include "dorvex/image/VipsRuntime.h"

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

struct GFree {
    void operator()(void* p) const { g_free(p); }
};
bool fitsIconLimit(const VImage& image) { return image.width() <= maxIconSide && image.height() <= maxIconSide; }

// Loads a PNG or JPEG 2000 payload with the loader its kind names; pixels stay lazy.
VImage loadPayload(IcnsElement::Kind kind, ByteView payload) {
    VipsBlobPtr blob = blobCopy(payload);
    return kind == IcnsElement::Kind::png ? VImage::pngload_buffer(blob.get()) : VImage::jp2kload_buffer(blob.get());
}

double maxSampleValue(const VImage& image) { return image.format() == VIPS_FORMAT_USHORT ? 65535.0 : 255.0; }

// An image with an opaque alpha band added, for comparing with one that has alpha.
VImage withOpaqueAlpha(const VImage& image) { return image.bandjoin_const({maxSampleValue(image)}); }

// True when both hold the same samples: same size and sample format, and the same bands once an
// opaque alpha is added to the one that lacks it.
bool samePixels(VImage a, VImage b) {
    if (a.width() != b.width() || a.height() != b.height() || a.format() != b.format()) return false;
    if (a.bands() + 1 == b.bands() && (b.bands() == 2 || b.bands() == 4)) a = withOpaqueAlpha(a);
    if (b.bands() + 1 == a.bands() && (a.bands() == 2 || a.bands() == 4)) b = withOpaqueAlpha(b);
    if (a.bands() != b.bands()) return false;
    std::size_t sizeA = 0;
    std::size_t sizeB = 0;
    std::unique_ptr<void, GFree> bytesA(a.write_to_memory(&sizeA));
    std::unique_ptr<void, GFree> bytesB(b.write_to_memory(&sizeB));
    return sizeA == sizeB && std::memcmp(bytesA.get(), bytesB.get(), sizeA) == 0;
}

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

ByteView rawBody(const IcnsElement& element) {
    ByteView body(element.data);
    if (element.type == "it32") body = body.size() >= it32PrefixBytes ? body.subspan(it32PrefixBytes) : ByteView();
    return body;
}

// Plain (uncoded) raw RGB payloads hold four bytes per pixel: an unused byte, then R, G, B.
bool isPlainRaw(ByteView body, std::size_t pixels) { return body.size() == pixels * 4; }

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

// ---- recompression ---------------------------------------------------------------------------

// The smallest PNG found so far whose pixels are those of the reference.
class PngSearch {
public:
    explicit PngSearch(VImage reference) : reference_(std::move(reference)) {}

    // Encodes `pixels` with `options`; keeps the result when it reproduces the reference and is
    // the smallest so far. Returns whether it reproduced the reference.
    bool offer(const VImage& pixels, vips::VOption* options) {
        Bytes encoded;
        try {
            encoded = blobBytes(pixels.pngsave_buffer(options));
            if (best_ && encoded.size() >= best_->size()) return samePixels(reference_, decode(encoded));
            if (!samePixels(reference_, decode(encoded))) return false;
        } catch (const vips::VError&) {
            return false;
        }
        best_ = std::move(encoded);
        return true;
    }

    const std::optional<Bytes>& best() const { return best_; }

private:
    static VImage decode(const Bytes& png) {
        VipsBlobPtr blob = blobCopy(png);
        return VImage::pngload_buffer(blob.get());
    }

    VImage reference_;
    std::optional<Bytes> best_;
};

// The number of distinct pixel values of an 8-bit image, counting no further than limit + 1.
std::size_t distinctColoursUpTo(const VImage& image, std::size_t limit) {
    std::size_t size = 0;
    std::unique_ptr<void, GFree> memory(image.write_to_memory(&size));
    const auto* bytes = static_cast<const std::uint8_t*>(memory.get());
    const auto bands = std::size_t(image.bands());
    std::unordered_set<std::uint32_t> colours;
    for (std::size_t at = 0; at + bands <= size && colours.size() <= limit; at += bands) {
        std::uint32_t colour = 0;
        for (std::size_t band = 0; band < bands; ++band) colour = (colour << 8) | bytes[at + band];
        colours.insert(colour);
    }
    return colours.size();
}

vips::VOption* pngOptions(VipsForeignPngFilter filter) {
    return VImage::option()->set("compression", 9)->set("interlace", false)->set("filter", int(filter));
}

// The smallest lossless PNG of `decoded` (a loaded PNG or JPEG 2000 payload) that we can make.
std::optional<Bytes> smallestPng(const VImage& decoded) {
    const bool sampleFormatFits = decoded.format() == VIPS_FORMAT_UCHAR || decoded.format() == VIPS_FORMAT_USHORT;
    if (!sampleFormatFits || decoded.bands() < 1 || decoded.bands() > 4 || !fitsIconLimit(decoded)) {
        return std::nullopt;
    }
    const VImage reference = decoded.copy_memory();
    PngSearch search(reference);

    const VImage stored = keepingOnlyMetadata(reference, {"icc-profile-data"});
    std::vector<VImage> layouts{stored};
    const bool hasAlpha = stored.bands() == 2 || stored.bands() == 4;
    if (hasAlpha && stored.extract_band(stored.bands() - 1).min() == maxSampleValue(stored)) {
        layouts.push_back(stored.extract_band(0, VImage::option()->set("n", stored.bands() - 1)));
    }

    for (const VImage& layout : layouts) {
        search.offer(layout, pngOptions(VIPS_FOREIGN_PNG_FILTER_ALL));
        search.offer(layout, pngOptions(VIPS_FOREIGN_PNG_FILTER_NONE));
        if (layout.format() != VIPS_FORMAT_UCHAR) continue;
        if (layout.bands() >= 3 && distinctColoursUpTo(layout, 256) <= 256) {
            // A palette reproduces the pixels only when there are few enough colours; each
            // smaller depth is worth trying only while the previous one was exact.
            for (int depth : {8, 4, 2, 1}) {
                auto* options = pngOptions(VIPS_FOREIGN_PNG_FILTER_NONE)
                                    ->set("palette", true)
                                    ->set("Q", 100)
                                    ->set("dither", 0.0)
                                    ->set("effort", 10)
                                    ->set("bitdepth", depth);
                if (!search.offer(layout, options)) break;
            }
        } else if (layout.bands() == 1) {
            for (int depth : {4, 2, 1}) {
                if (!search.offer(layout, pngOptions(VIPS_FOREIGN_PNG_FILTER_NONE)->set("bitdepth", depth))) break;
            }
        }
    }
    return search.best();
}

IcnsElement recompressImagePayload(const IcnsElement& element, IcnsElement::Kind kind) {
    try {
        const std::optional<Bytes> png = smallestPng(loadPayload(kind, element.data));
        if (png && png->size() < element.data.size()) return {element.type, *png};
    } catch (const vips::VError&) {
        // A payload we cannot decode is kept as it is.
    }
    return element;
}

IcnsElement recodeRaw(const IcnsElement& element) {
    const RawType* raw = rawTypeOf(element.type);
    if (raw == nullptr) return element;
    const std::size_t pixels = std::size_t(raw->side) * std::size_t(raw->side);
    const ByteView body = rawBody(element);
    if (isPlainRaw(body, pixels)) return element;  // plain pixels are told apart by their size
    const std::optional<Bytes> planes = unpackRuns(body, pixels * 3);
    if (!planes) return element;
    Bytes recoded(element.data.begin(), element.data.begin() + (element.data.size() - body.size()));
    const Bytes packed = packPlanes(*planes, pixels);
    recoded.insert(recoded.end(), packed.begin(), packed.end());
    if (recoded.size() >= element.data.size()) return element;
    return {element.type, std::move(recoded)};
}

IcnsElement recodeArgb(const IcnsElement& element) {
    const std::optional<int> side = argbSideOf(element.type);
    if (!side) return element;
    const std::size_t pixels = std::size_t(*side) * std::size_t(*side);
    const std::optional<Bytes> planes = unpackRuns(ByteView(element.data).subspan(argbPrefix.size()), pixels * 4);
    if (!planes) return element;
    Bytes recoded(argbPrefix.begin(), argbPrefix.end());
    const Bytes packed = packPlanes(*planes, pixels);
    recoded.insert(recoded.end(), packed.begin(), packed.end());
    if (recoded.size() >= element.data.size()) return element;
    return {element.type, std::move(recoded)};
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

IcnsFile IcnsFile::recompressed(const IcnsFile& source) {
    VipsRuntime::start();
    IcnsFile result;
    result.elements.reserve(source.elements.size());
    for (const IcnsElement& element : source.elements) {
        switch (const IcnsElement::Kind kind = element.kind()) {
            case IcnsElement::Kind::png:
                result.elements.push_back(recompressImagePayload(element, kind));
                break;
            case IcnsElement::Kind::jpeg2000:
                result.elements.push_back(acceptsPng(element.type) ? recompressImagePayload(element, kind) : element);
                break;
            case IcnsElement::Kind::rgb:
                result.elements.push_back(recodeRaw(element));
                break;
            case IcnsElement::Kind::argb:
                result.elements.push_back(recodeArgb(element));
                break;
            case IcnsElement::Kind::mask:
            case IcnsElement::Kind::tableOfContents:
            case IcnsElement::Kind::other:
                result.elements.push_back(element);
                break;
        }
    }
    return result;
}

void IcnsFile::recompress(const std::filesystem::path& source, const std::filesystem::path& output) {
    write(recompressed(read(source)), output);
}

}  // namespace dorvex
