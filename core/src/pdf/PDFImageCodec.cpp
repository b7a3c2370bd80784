#include "pdf/PDFImageCodec.h"

#include <qpdf/Pl_String.hh>

#include <cstdlib>
#include <set>
#include <vector>

#include "image/VipsBlob.h"
#include "pdf/PDFFlate.h"
#include "pdf/PDFStreamBound.h"

namespace dorvex::PDFImageCodec {

using vips::VImage;

namespace {

bool isLosslessGeneralFilter(const std::string& name) {
    static const std::set<std::string> known{"/FlateDecode", "/Fl",   "/LZWDecode",       "/LZW",
                                             "/ASCIIHexDecode", "/AHx", "/ASCII85Decode", "/A85",
                                             "/RunLengthDecode", "/RL"};
    return known.count(name) != 0;
}

}  // namespace

std::optional<Layout> decodableLayout(QPDFObjectHandle image, bool asMask) {
    QPDFObjectHandle dictionary = image.getDict();
    if (dictionary.getKey("/ImageMask").isBool() && dictionary.getKey("/ImageMask").getBoolValue()) return std::nullopt;
    QPDFObjectHandle width = dictionary.getKey("/Width"), height = dictionary.getKey("/Height");
    QPDFObjectHandle depth = dictionary.getKey("/BitsPerComponent");
    if (!width.isInteger() || !height.isInteger() || !depth.isInteger() || depth.getIntValue() != 8) {
        return std::nullopt;
    }
    Layout layout;
    if (width.getIntValue() < 1 || height.getIntValue() < 1 || width.getIntValue() > 65535 ||
        height.getIntValue() > 65535) {
        return std::nullopt;
    }
    layout.width = int(width.getIntValue());
    layout.height = int(height.getIntValue());

    QPDFObjectHandle space = dictionary.getKey("/ColorSpace");
    if (asMask) {
        if (!space.isNull() && !space.isNameAndEquals("/DeviceGray")) return std::nullopt;
        layout.bands = 1;
    } else if (space.isNameAndEquals("/DeviceGray")) {
        layout.bands = 1;
    } else if (space.isNameAndEquals("/DeviceRGB")) {
        layout.bands = 3;
    } else if (space.isArray() && space.getArrayNItems() == 2 && space.getArrayItem(0).isNameAndEquals("/CalGray")) {
        layout.bands = 1;
    } else if (space.isArray() && space.getArrayNItems() == 2 && space.getArrayItem(0).isNameAndEquals("/CalRGB")) {
        layout.bands = 3;
    } else if (space.isArray() && space.getArrayNItems() == 2 && space.getArrayItem(0).isNameAndEquals("/ICCBased") &&
               space.getArrayItem(1).isStream()) {
        QPDFObjectHandle components = space.getArrayItem(1).getDict().getKey("/N");
        if (!components.isInteger() || (components.getIntValue() != 1 && components.getIntValue() != 3)) {
            return std::nullopt;
        }
        layout.bands = int(components.getIntValue());
    } else {
        return std::nullopt;
    }
    // Pixel data larger than this is left alone rather than decoded into memory.
    if (std::uint64_t(layout.width) * std::uint64_t(layout.height) * std::uint64_t(layout.bands) >
        PDFStreamBound::maxImageBytes) {
        return std::nullopt;
    }

    if (!asMask && !dictionary.getKey("/Mask").isNull()) return std::nullopt;  // colour keys or stencils
    QPDFObjectHandle decode = dictionary.getKey("/Decode");
    if (!decode.isNull()) {
        if (!decode.isArray() || decode.getArrayNItems() != 2 * layout.bands) return std::nullopt;
        for (int i = 0; i < 2 * layout.bands; ++i) {
            QPDFObjectHandle value = decode.getArrayItem(i);
            if (!value.isNumber() || value.getNumericValue() != double(i % 2)) return std::nullopt;
        }
    }

    const std::optional<std::vector<std::string>> filters = PDFFlate::filterNames(dictionary.getKey("/Filter"));
    if (!filters) return std::nullopt;
    if (filters->size() == 1 && ((*filters)[0] == "/DCTDecode" || (*filters)[0] == "/DCT")) {
        QPDFObjectHandle parameters = dictionary.getKey("/DecodeParms");
        if (parameters.isDictionary() && parameters.hasKey("/ColorTransform")) return std::nullopt;
        layout.coding = Coding::dct;
        return layout;
    }
    for (const std::string& name : *filters) {
        if (!isLosslessGeneralFilter(name)) return std::nullopt;
    }
    layout.coding = Coding::general;
    return layout;
}

std::optional<Pixels> decode(QPDFObjectHandle image, const Layout& layout, int shrink) {
    Pixels pixels;
    if (layout.coding == Coding::dct) {
        std::shared_ptr<Buffer> raw = image.getRawStreamData();
        const VipsBlobPtr blob = blobCopy({raw->getBuffer(), raw->getSize()});
        VImage header = VImage::jpegload_buffer(blob.get(), VImage::option()->set("fail_on", VIPS_FAIL_ON_ERROR));
        if (header.width() != layout.width || header.height() != layout.height || header.bands() != layout.bands ||
            header.format() != VIPS_FORMAT_UCHAR) {
            return std::nullopt;
        }
        VImage loaded = shrink > 1 ? VImage::jpegload_buffer(blob.get(), VImage::option()
                                                                              ->set("shrink", shrink)
                                                                              ->set("fail_on", VIPS_FAIL_ON_ERROR))
                                   : header;
        pixels.image = loaded.copy_memory();  // decoded now, while the blob lives
        return pixels;
    }
    const std::size_t expected = std::size_t(layout.width) * std::size_t(layout.height) * std::size_t(layout.bands);
    auto data = std::make_shared<std::string>();
    Pl_String sink("image samples", nullptr, *data);
    // Samples that inflate far beyond what the dictionary declares are not an image we decode.
    PDFStreamBound::Guard guard(&sink, PDFStreamBound::imageBound(layout.width, layout.height, layout.bands));
    try {
        if (!image.pipeStreamData(&guard, nullptr, 0, qpdf_dl_specialized, true, false)) return std::nullopt;
    } catch (const PDFStreamBound::TooLarge&) {
        return std::nullopt;
    }
    if (data->size() < expected) return std::nullopt;
    pixels.memory = data;
    pixels.image = VImage::new_from_memory(data->data(), expected, layout.width, layout.height, layout.bands,
                                           VIPS_FORMAT_UCHAR);
    return pixels;
}

VImage resampled(const VImage& image, int width, int height) {
    if (image.width() == width && image.height() == height) return image;
    VImage result = image.resize(double(width) / image.width(), VImage::option()
                                                                   ->set("vscale", double(height) / image.height())
                                                                   ->set("kernel", VIPS_KERNEL_LANCZOS3));
    if (result.width() != width || result.height() != height) {  // rounding: trim or pad the last line
        result = result.gravity(VIPS_COMPASS_DIRECTION_NORTH_WEST, width, height,
                                VImage::option()->set("extend", VIPS_EXTEND_COPY));
    }
    return result;
}

std::string jpegBytes(const VImage& image, int quality) {
    const VipsInterpretation interpretation = image.bands() == 1 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
    VImage tagged = image.copy(VImage::option()->set("interpretation", interpretation));
    return blobBytes<std::string>(tagged.jpegsave_buffer(
        VImage::option()->set("Q", quality)->set("optimize_coding", true)->set("strip", true)));
}

std::string flateBytes(const VImage& image) {
    std::size_t size = 0;
    std::unique_ptr<void, decltype(&g_free)> samples(image.write_to_memory(&size), &g_free);  // libvips allocates with GLib
    return PDFFlate::deflated(static_cast<const unsigned char*>(samples.get()), size);
}

std::int64_t storedLength(QPDFObjectHandle stream) {
    return std::int64_t(stream.getRawStreamData()->getSize());
}

void replace(QPDFObjectHandle stream, const std::string& data, const char* filter, int width, int height) {
    stream.replaceStreamData(data, QPDFObjectHandle::newName(filter), QPDFObjectHandle::newNull());
    QPDFObjectHandle dictionary = stream.getDict();
    dictionary.replaceKey("/Width", QPDFObjectHandle::newInteger(width));
    dictionary.replaceKey("/Height", QPDFObjectHandle::newInteger(height));
    dictionary.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
}

}  // namespace dorvex::PDFImageCodec
