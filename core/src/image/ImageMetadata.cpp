#include "dorvex/image/ImageMetadata.h"

#include <libexif/exif-data.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace dorvex::ImageMetadataRules {

namespace {

struct ExifDataUnref {
    void operator()(ExifData* data) const { exif_data_unref(data); }
};

using ExifDataPtr = std::unique_ptr<ExifData, ExifDataUnref>;

void removeAll(ExifContent* content) {
    while (content->count > 0) exif_content_remove_entry(content, content->entries[content->count - 1]);
}

ImageMetadata::Bytes saved(ExifData* data) {
    unsigned char* bytes = nullptr;
    unsigned int size = 0;
    exif_data_save_data(data, &bytes, &size);
    const std::unique_ptr<unsigned char, decltype(&std::free)> owned(bytes, &std::free);
    if (bytes == nullptr || size == 0) return {};
    return ImageMetadata::Bytes(bytes, bytes + size);
}

}  // namespace

ImageMetadata::Bytes exif(const ImageMetadata::Bytes& source, MetadataPolicy policy, bool upright) {
    if (policy == MetadataPolicy::strip || source.empty()) return {};

    const ExifDataPtr data(exif_data_new());
    if (!data) return {};
    // Keep what we do not know (maker notes, vendor tags) and add nothing of libexif's own.
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(data.get(), source.data(), unsigned(source.size()));
    const bool parsed = std::any_of(std::begin(data->ifd), std::end(data->ifd),
                                    [](const ExifContent* content) { return content->count > 0; });
    if (!parsed) return {};

    if (policy == MetadataPolicy::keepWithoutLocation) removeAll(data->ifd[EXIF_IFD_GPS]);
    if (upright) {
        if (ExifEntry* orientation = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
            orientation != nullptr && orientation->format == EXIF_FORMAT_SHORT && orientation->size >= 2) {
            exif_set_short(orientation->data, exif_data_get_byte_order(data.get()), 1);
        }
    }

    return saved(data.get());
}

ImageMetadata::Bytes storedExif(const ImageMetadata::Bytes& source, MetadataPolicy policy, int orientation) {
    if (policy != MetadataPolicy::strip) return exif(source, policy, false);
    if (orientation == 1) return {};
    const ExifDataPtr data(exif_data_new());
    if (!data) return {};
    ExifEntry* entry = exif_entry_new();
    if (entry == nullptr) return {};
    exif_content_add_entry(data->ifd[EXIF_IFD_0], entry);
    exif_entry_initialize(entry, EXIF_TAG_ORIENTATION);
    exif_set_short(entry->data, exif_data_get_byte_order(data.get()), ExifShort(orientation));
    exif_entry_unref(entry);
    return saved(data.get());
}

ImageMetadata::Bytes xmp(const ImageMetadata::Bytes& source, MetadataPolicy policy) {
    if (policy == MetadataPolicy::strip) return {};
    if (policy == MetadataPolicy::keepWithoutLocation) {
        // The EXIF namespace's GPS properties (exif:GPSLatitude …) under any prefix, as elements
        // or attributes.
        constexpr std::array<std::string_view, 3> positions{"GPSLatitude", "GPSLongitude", "GPSAltitude"};
        const std::string_view text(reinterpret_cast<const char*>(source.data()), source.size());
        for (const std::string_view name : positions) {
            if (text.find(name) != std::string_view::npos) return {};
        }
    }
    return source;
}

}  // namespace dorvex::ImageMetadataRules
