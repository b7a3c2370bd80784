#include "image/encoders/IcnsFile.h"

#include <cstring>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "image/VipsRuntime.h"
#include "image/VipsBlob.h"
#include "image/VipsMetadata.h"
#include "image/encoders/IcnsFormat.h"
#include "image/encoders/IcnsPackBits.h"
#include "image/encoders/IcnsPayload.h"

namespace dorvex {

using vips::VImage;
using namespace IcnsFormat;

namespace {

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
