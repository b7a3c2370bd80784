// The ICNS reader on any bytes: a family parses or fails with IcnsError; what parses reports its
// images and sizes and decodes its largest image without reading out of bounds, and writes bytes
// that parse again into a family that writes the same bytes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "FuzzCheck.h"
#include "dorvex/image/encoders/IcnsFile.h"

using namespace dorvex;

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
    return 0;
}
