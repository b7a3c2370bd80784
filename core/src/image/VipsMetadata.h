#pragma once
// VipsMetadata: private to the encoders that save through libvips. A copy of an image that keeps
// only the named metadata items, so that nothing else (EXIF, XMP, comments) is written out.

#include <vips/vips8>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string_view>

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

}  // namespace dorvex
