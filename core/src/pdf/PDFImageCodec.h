#pragma once
// PDFImageCodec: private to the PDF filter. Which image streams can be decoded safely and how
// their samples are laid out; decoding them into libvips (JPEG shrunk on load), resampling, and
// encoding the result as JPEG or Flate back into the stream.

#include <qpdf/QPDFObjectHandle.hh>

#include <vips/vips8>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace dorvex::PDFImageCodec {

enum class Coding { general, dct };

struct Layout {
    int width = 0;
    int height = 0;
    int bands = 0;
    Coding coding = Coding::general;
};

// 8-bit grey or RGB (device, calibrated, or ICC-based with 1 or 3 components; the samples keep
// their colour space, so their meaning stays), with the default /Decode, stored
// unfiltered, with lossless general filters, or as a lone DCT stream. Masks (`asMask`) must be grey.
std::optional<Layout> decodableLayout(QPDFObjectHandle image, bool asMask);

struct Pixels {
    std::shared_ptr<std::string> memory;  // backs `image` for images made from decoded samples
    vips::VImage image;
};

// Decodes an image, shrinking a JPEG by a power of two on the way when `shrink` allows it.
// nullopt when the data does not match its dictionary.
std::optional<Pixels> decode(QPDFObjectHandle image, const Layout& layout, int shrink);

// Exactly `width` × `height` pixels, resampled with Lanczos-3.
vips::VImage resampled(const vips::VImage& image, int width, int height);
// Baseline JPEG at `quality`, with optimised Huffman tables and no metadata.
std::string jpegBytes(const vips::VImage& image, int quality);
// The samples, deflated.
std::string flateBytes(const vips::VImage& image);

// The stream's data as stored (still encoded), in bytes.
std::int64_t storedLength(QPDFObjectHandle stream);
// Puts `data`, encoded with `filter`, in place of an image's data, with its new size.
void replace(QPDFObjectHandle stream, const std::string& data, const char* filter, int width, int height);

}  // namespace dorvex::PDFImageCodec
