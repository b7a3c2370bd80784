// The ICNS reader on any bytes: a family parses or fails with IcnsError; what parses reports its
// images and sizes and decodes its largest image without reading out of bounds, and writes bytes
// that parse again into a family that writes the same bytes. Its run-length elements, recoded as
// for ICNS output, never grow and decode to the same pixels.

#include <cstddef>
#include <cstdint>
#include <span>

#include <glib.h>

#include <cstring>
#include <memory>

#include "FuzzCheck.h"
#include "image/encoders/IcnsFile.h"
#include "image/VipsPicture.h"

using namespace dorvex;

namespace {

bool samePixels(const std::optional<Picture>& a, const std::optional<Picture>& b) {
    if (!a || !b) return !a && !b;
    std::size_t sizeA = 0;
    std::size_t sizeB = 0;
    const std::unique_ptr<void, decltype(&g_free)> pixelsA(vipsImage(*a).write_to_memory(&sizeA), g_free);
    const std::unique_ptr<void, decltype(&g_free)> pixelsB(vipsImage(*b).write_to_memory(&sizeB), g_free);
    return a->size() == b->size() && sizeA == sizeB && std::memcmp(pixelsA.get(), pixelsB.get(), sizeA) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    IcnsFile family;
    try {
        family = IcnsFile::parse(std::span(data, size));
    } catch (const IcnsError&) {
        return 0;
    }

    const std::size_t images = family.imageCount();
    fuzz::check(images <= family.elements.size(), "no more images than elements");
    for (std::size_t index = 0; index <= family.elements.size(); ++index) {
        if (const std::optional<PixelSize> pixels = family.pixelSize(index)) {
            fuzz::check(pixels->width >= 0 && pixels->height >= 0, "pixel sizes are not negative");
        }
    }
    if (family.decodeLargest()) {
        fuzz::check(images > 0, "a decoded image comes from an image element");
    }

    const std::vector<std::uint8_t> written = family.serialize();
    const IcnsFile again = IcnsFile::parse(written);
    fuzz::check(again.elements.size() == family.elements.size(), "a written family keeps its elements");
    fuzz::check(again.serialize() == written, "writing a family read back changes nothing");

    // PNG and JPEG 2000 payloads are left out: their recompression is a slow search of encoders.
    IcnsFile coded;
    for (const IcnsElement& element : family.elements) {
        const IcnsElement::Kind kind = element.kind();
        if (kind != IcnsElement::Kind::png && kind != IcnsElement::Kind::jpeg2000) coded.elements.push_back(element);
    }
    const IcnsFile recoded = IcnsFile::recompressed(coded);
    fuzz::check(recoded.elements.size() == coded.elements.size(), "recoding keeps every element");
    for (std::size_t index = 0; index < coded.elements.size(); ++index) {
        fuzz::check(recoded.elements[index].data.size() <= coded.elements[index].data.size(), "recoding never grows");
        fuzz::check(samePixels(coded.decode(index), recoded.decode(index)), "recoding keeps the pixels");
    }
    return 0;
}
