#pragma once
// VipsMetadata: private to the sources that read or save through libvips. A copy of an image that
// keeps only the named metadata items, so that nothing else (EXIF, XMP, comments) is written out;
// the bytes of one binary item, and setting one.

#include <vips/vips8>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "image/ImageMetadata.h"

namespace dorvex {

inline vips::VImage keepingOnlyMetadata(const vips::VImage& image, std::initializer_list<std::string_view> kept) {
    struct StrvFree {
        void operator()(gchar** strings) const { g_strfreev(strings); }
    };
    vips::VImage copy = image.copy();
    std::unique_ptr<gchar*, StrvFree> fields(vips_image_get_fields(copy.get_image()));
    for (gchar** field = fields.get(); field != nullptr && *field != nullptr; ++field) {
        if (std::find(kept.begin(), kept.end(), std::string_view(*field)) == kept.end()) copy.remove(*field);
    }
    return copy;
}

// The bytes of a binary item (EXIF, XMP, ICC profile); empty when the image has none.
inline ImageMetadata::Bytes blobField(const vips::VImage& image, const char* name) {
    if (image.get_typeof(name) != VIPS_TYPE_BLOB) return {};
    std::size_t length = 0;
    const auto* data = static_cast<const std::uint8_t*>(image.get_blob(name, &length));
    return data == nullptr ? ImageMetadata::Bytes{} : ImageMetadata::Bytes(data, data + length);
}

// Sets a binary item to a copy of `bytes` on an image of our own; nothing for empty bytes.
inline void setBlob(vips::VImage& image, const char* name, const ImageMetadata::Bytes& bytes) {
    if (!bytes.empty()) vips_image_set_blob_copy(image.get_image(), name, bytes.data(), bytes.size());
}

}  // namespace dorvex
