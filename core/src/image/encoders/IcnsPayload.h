#pragma once

// Element payloads as the ICNS reader and the recompression both take them apart.

#include <glib.h>

#include <vips/vips8>

#include <cstddef>

#include "image/encoders/IcnsFile.h"
#include "image/VipsBlob.h"
#include "image/encoders/IcnsFormat.h"

namespace dorvex::IcnsFormat {

struct GFree {
    void operator()(void* p) const { g_free(p); }
};
inline bool fitsIconLimit(const vips::VImage& image) { return image.width() <= maxIconSide && image.height() <= maxIconSide; }

// Loads a PNG or JPEG 2000 payload with the loader its kind names; pixels stay lazy.
inline vips::VImage loadPayload(IcnsElement::Kind kind, ByteView payload) {
    VipsBlobPtr blob = blobCopy(payload);
    return kind == IcnsElement::Kind::png ? vips::VImage::pngload_buffer(blob.get())
                                          : vips::VImage::jp2kload_buffer(blob.get());
}

inline ByteView rawBody(const IcnsElement& element) {
    ByteView body(element.data);
    if (element.type == "it32") body = body.size() >= it32PrefixBytes ? body.subspan(it32PrefixBytes) : ByteView();
    return body;
}

// Plain (uncoded) raw RGB payloads hold four bytes per pixel: an unused byte, then R, G, B.
inline bool isPlainRaw(ByteView body, std::size_t pixels) { return body.size() == pixels * 4; }

}  // namespace dorvex::IcnsFormat
