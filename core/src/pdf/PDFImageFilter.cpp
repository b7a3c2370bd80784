#include "pdf/PDFImageFilter.h"

// The filter in parts: PDFImageSurvey learns where each image is drawn, PDFImageCodec decodes,
// resamples and encodes image streams, PDFFlate recompresses the other Flate streams. This file
// decides, image by image, the size and encoding to keep (soft masks follow their image), and
// writes the document.

#include <qpdf/QPDF.hh>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "image/VipsRuntime.h"
#include "pdf/PDFFlate.h"
#include "pdf/PDFImageCodec.h"
#include "pdf/PDFImageSurvey.h"
#include "pdf/PDFOutput.h"

namespace dorvex::PDFImageFilter {

namespace {

using PDFImageCodec::Coding;
using PDFImageCodec::decodableLayout;
using PDFImageCodec::decode;
using PDFImageCodec::flateBytes;
using PDFImageCodec::jpegBytes;
using PDFImageCodec::Layout;
using PDFImageCodec::Pixels;
using PDFImageCodec::replace;
using PDFImageCodec::resampled;
using PDFImageCodec::storedLength;
using PDFImageSurvey::ImageUse;
using vips::VImage;

struct Target {
    int width;
    int height;
};

// The pixel size an image should have: each side at most the resolution times the largest drawn
// extent, never larger than it is, bounded by the settings' longest side.
Target targetSize(const ImageUse& use, const Layout& layout, const PDFProfile::FilterSettings& settings,
                  bool resizable) {
    Target target{layout.width, layout.height};
    if (!resizable) return target;
    // An image only ever drawn at no size at all tells nothing about the size it needs.
    if (use.drawn && !use.sizeUnknown && settings.resolution > 0 && use.widthPoints > 0 && use.heightPoints > 0) {
        const auto side = [&](double points, int pixels) {
            const double wanted = std::ceil(points / 72.0 * settings.resolution - 1e-6);
            return wanted < pixels ? std::max(1, int(wanted)) : pixels;
        };
        target = {side(use.widthPoints, layout.width), side(use.heightPoints, layout.height)};
    }
    if (settings.imageSizeMax > 0 && std::max(target.width, target.height) > settings.imageSizeMax) {
        const double scale = double(settings.imageSizeMax) / std::max(target.width, target.height);
        target = {std::max(1, int(std::lround(target.width * scale))), std::max(1, int(std::lround(target.height * scale)))};
    }
    return target;
}

int shrinkFor(const Layout& layout, const Target& target) {
    if (layout.coding != Coding::dct) return 1;
    int shrink = 1;
    // Shrinking while decoding stays at or above the target; the resampling filter does the rest.
    while (shrink < 8 && layout.width / (shrink * 2) >= target.width && layout.height / (shrink * 2) >= target.height) {
        shrink *= 2;
    }
    return shrink;
}

class Pass {
public:
    Pass(const PDFProfile::FilterSettings& settings, Outcome& outcome) : settings_(settings), outcome_(outcome) {}

    std::set<QPDFObjGen> rewritten;  // streams this pass has replaced

    // Masks are counted first: an image that is another's mask is rewritten only with its owner.
    void noteMasks(std::map<QPDFObjGen, ImageUse>& images) {
        for (auto& [id, use] : images) {
            QPDFObjectHandle dictionary = use.image.getDict();
            for (const char* key : {"/SMask", "/Mask"}) {
                QPDFObjectHandle mask = dictionary.getKey(key);
                if (mask.isStream()) ++maskOwners_[mask.getObjGen()];
            }
        }
    }

    void image(const ImageUse& use) {
        QPDFObjectHandle image = use.image;
        if (maskOwners_.count(image.getObjGen())) return;
        const std::optional<Layout> layout = decodableLayout(image, false);
        if (!layout) return;
        if (settings_.imageSizeMin > 0 && std::max(layout->width, layout->height) <= settings_.imageSizeMin) return;

        QPDFObjectHandle mask = image.getDict().getKey("/SMask");
        std::optional<Layout> maskLayout;
        bool maskFollows = false;
        if (mask.isStream()) {
            maskLayout = decodableLayout(mask, true);
            maskFollows = maskLayout && maskOwners_[mask.getObjGen()] == 1;
        }
        // A matted mask must keep the image's own size, so such an image changes size only with it.
        const bool matted = mask.isStream() && !mask.getDict().getKey("/Matte").isNull();
        const bool resizable = !matted || (maskFollows && maskLayout->width == layout->width &&
                                           maskLayout->height == layout->height);
        const Target target = targetSize(use, *layout, settings_, resizable);
        const bool downsample = target.width < layout->width || target.height < layout->height;

        const std::optional<Pixels> pixels = decode(image, *layout, downsample ? shrinkFor(*layout, target) : 1);
        if (!pixels) return;
        const VImage output = resampled(pixels->image, target.width, target.height);

        std::string best = jpegBytes(output, settings_.jpegQuality());
        const char* filter = "/DCTDecode";
        if (downsample && layout->coding != Coding::dct) {  // a photo stays a photo; drawings may not
            std::string flate = flateBytes(output);
            if (flate.size() < best.size()) {
                best = std::move(flate);
                filter = "/FlateDecode";
            }
        }
        if (std::int64_t(best.size()) >= storedLength(image)) return;  // never replace by something larger

        if (downsample && maskFollows) {
            const int maskWidth = maskLayout->width == layout->width
                                      ? target.width
                                      : std::max(1, int(std::lround(double(maskLayout->width) * target.width / layout->width)));
            const int maskHeight = maskLayout->height == layout->height
                                       ? target.height
                                       : std::max(1, int(std::lround(double(maskLayout->height) * target.height / layout->height)));
            if (!followMask(mask, *maskLayout, maskWidth, maskHeight, matted) && matted) return;
        }
        replace(image, best, filter, target.width, target.height);
        rewritten.insert(image.getObjGen());
        ++outcome_.imagesReplaced;
        if (downsample) ++outcome_.imagesDownsampled;
    }

private:
    // Brings a soft mask to its image's new size, kept lossless. A matted mask must follow even
    // when that does not save bytes. False when the mask stays as it was.
    bool followMask(QPDFObjectHandle mask, const Layout& layout, int width, int height, bool mustFollow) {
        try {
            if (width >= layout.width && height >= layout.height) return false;
            const std::optional<Pixels> pixels = decode(mask, layout, 1);
            if (!pixels) return false;
            const std::string data = flateBytes(resampled(pixels->image, width, height));
            if (!mustFollow && std::int64_t(data.size()) >= storedLength(mask)) return false;
            replace(mask, data, "/FlateDecode", width, height);
            mask.getDict().removeKey("/Decode");
            rewritten.insert(mask.getObjGen());
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    const PDFProfile::FilterSettings& settings_;
    Outcome& outcome_;
    std::map<QPDFObjGen, int> maskOwners_;
};

// A document that already packs its objects into object streams keeps its packing; one that
// does not gets object streams.
bool usesObjectStreams(QPDF& document) {
    for (const auto& [id, entry] : document.getXRefTable()) {
        if (entry.getType() == 2) return true;
    }
    return false;
}

}  // namespace

Outcome apply(const std::filesystem::path& source, const std::filesystem::path& destination,
              const PDFProfile::FilterSettings& settings, const std::function<bool()>& isCancelled) {
    VipsRuntime::start();
    PDFFlate::useStrongestLevel();
    Outcome outcome;
    QPDF document;
    document.setSuppressWarnings(true);
    document.processFile(source.c_str());

    std::map<QPDFObjGen, ImageUse> images = PDFImageSurvey::run(document);
    outcome.imagesFound = int(images.size());

    Pass pass(settings, outcome);
    pass.noteMasks(images);
    for (const auto& [id, use] : images) {
        if (isCancelled && isCancelled()) {
            outcome.cancelled = true;
            return outcome;
        }
        try {
            pass.image(use);
        } catch (const std::exception&) {
            // Undecodable or unencodable: the image stays as it was.
        }
    }
    if (isCancelled && isCancelled()) {
        outcome.cancelled = true;
        return outcome;
    }
    const bool packed = usesObjectStreams(document);
    for (QPDFObjectHandle& object : document.getAllObjects()) {
        if (pass.rewritten.count(object.getObjGen())) continue;
        try {
            if (PDFFlate::recompress(object)) ++outcome.streamsRecompressed;
        } catch (const std::exception&) {
            // Kept as it was.
        }
    }
    if (isCancelled && isCancelled()) {
        outcome.cancelled = true;
        return outcome;
    }

    PDFOutput::write(document, destination, packed ? qpdf_o_preserve : qpdf_o_generate);
    return outcome;
}

}  // namespace dorvex::PDFImageFilter
