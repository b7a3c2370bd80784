#include "image/ImageMetadata.h"

#include <expat.h>
#include <libexif/exif-data.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

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

// ---- XMP without a position ----------------------------------------------------------------

// Whether a property's local name (case aside) says where the picture was taken: every GPS
// property (exif:GPSLatitude, exif:GPSDestLatitude, DJI's drone-dji:GpsLongtitude …), anything
// named after a latitude, longitude or altitude (drone-dji:AbsoluteAltitude, RelativeAltitude),
// the IPTC and Photoshop places (Location, LocationShown, LocationCreated, Sublocation, City,
// State, ProvinceState, Country, CountryName, CountryCode, WorldRegion): a city alone already
// tells where someone was.
bool namesAPosition(std::string_view qualified) {
    const std::string_view local = qualified.substr(qualified.rfind(':') + 1);  // npos + 1 == 0
    std::string lower(local);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    constexpr std::array<std::string_view, 6> parts{"gps",        "latitude", "longitude",
                                                    "longtitude", "altitude", "location"};
    constexpr std::array<std::string_view, 7> places{"city",        "state",       "provincestate", "country",
                                                     "countryname", "countrycode", "worldregion"};
    const auto holds = [&](std::string_view part) { return lower.find(part) != std::string::npos; };
    return std::any_of(parts.begin(), parts.end(), holds) || std::find(places.begin(), places.end(), lower) != places.end();
}

bool isNamespaceDeclaration(std::string_view name) { return name == "xmlns" || name.starts_with("xmlns:"); }

std::string escapedAttribute(std::string_view value) {
    std::string out;
    for (const char c : value) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\t': out += "&#9;"; break;
            case '\n': out += "&#10;"; break;
            case '\r': out += "&#13;"; break;
            default: out += c;
        }
    }
    return out;
}

// One change of the packet's bytes: [begin, end) becomes `text`.
struct Edit {
    std::size_t begin;
    std::size_t end;
    std::string text;
};

// The walk over the packet. Byte positions come from expat, so whatever is not edited stays as
// it was written (layout, the xpacket wrapper, comments, padding).
struct PositionFilter {
    std::string_view text;
    XML_Parser parser = nullptr;
    std::vector<Edit> edits;
    int depth = 0;            // of the element being read
    int removing = 0;         // > 0 while inside an element being removed: its depth below it
    std::size_t removalBegin = 0;
    std::size_t removalTagEnd = 0;  // the end of its start tag: where an empty element ends
    bool rootRemoved = false;

    std::size_t position() const { return std::size_t(XML_GetCurrentByteIndex(parser)); }
    std::size_t eventEnd() const { return position() + std::size_t(XML_GetCurrentByteCount(parser)); }

    void start(const XML_Char* name, const XML_Char** attributes) {
        ++depth;
        if (removing > 0) {
            ++removing;
            return;
        }
        if (namesAPosition(name)) {
            removing = 1;
            rootRemoved = rootRemoved || depth == 1;
            removalBegin = position();
            removalTagEnd = eventEnd();
            return;
        }
        bool dropsAttribute = false;
        for (const XML_Char** a = attributes; *a != nullptr; a += 2) {
            dropsAttribute = dropsAttribute || (!isNamespaceDeclaration(a[0]) && namesAPosition(a[0]));
        }
        if (!dropsAttribute) return;
        // The start tag written again without those attributes; the rest in their order.
        const std::size_t begin = position();
        const std::size_t end = eventEnd();
        std::string tag = "<" + std::string(name);
        for (const XML_Char** a = attributes; *a != nullptr; a += 2) {
            if (isNamespaceDeclaration(a[0]) || !namesAPosition(a[0])) {
                tag += " " + std::string(a[0]) + "=\"" + escapedAttribute(a[1]) + "\"";
            }
        }
        tag += text.substr(begin, end - begin).ends_with("/>") ? "/>" : ">";
        edits.push_back({begin, end, std::move(tag)});
    }

    void end() {
        --depth;
        if (removing == 0 || --removing > 0) return;
        std::size_t begin = removalBegin;
        // The white space that laid the property out goes with it.
        const std::size_t floor = edits.empty() ? 0 : edits.back().end;
        while (begin > floor && std::string_view(" \t\r\n").find(text[begin - 1]) != std::string_view::npos) --begin;
        edits.push_back({begin, std::max(removalTagEnd, eventEnd()), {}});
    }
};

// The packet without the properties that record a position; empty when it does not parse as
// the XML an XMP packet is (UTF-8, no document type) or is itself such a property.
ImageMetadata::Bytes withoutPosition(const ImageMetadata::Bytes& source) {
    std::string_view text(reinterpret_cast<const char*>(source.data()), source.size());
    // Some writers end the packet with a terminating zero, which XML does not allow.
    const std::size_t padding = text.size() - std::min(text.size(), text.find_last_not_of('\0') + 1);
    text.remove_suffix(padding);

    struct ParserFree {
        void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
    };
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserFree> parser(XML_ParserCreate("UTF-8"));
    if (!parser || text.size() > std::size_t(std::numeric_limits<int>::max())) return {};
    PositionFilter filter;
    filter.text = text;
    filter.parser = parser.get();
    XML_SetUserData(parser.get(), &filter);
    XML_SetElementHandler(
        parser.get(),
        [](void* data, const XML_Char* name, const XML_Char** attributes) {
            static_cast<PositionFilter*>(data)->start(name, attributes);
        },
        [](void* data, const XML_Char*) { static_cast<PositionFilter*>(data)->end(); });
    // XMP has no document type; refusing one refuses entity definitions (and their expansion).
    XML_SetStartDoctypeDeclHandler(parser.get(), [](void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        XML_StopParser(static_cast<PositionFilter*>(data)->parser, XML_FALSE);
    });
    if (XML_Parse(parser.get(), text.data(), int(text.size()), XML_TRUE) != XML_STATUS_OK || filter.rootRemoved) {
        return {};
    }

    ImageMetadata::Bytes kept;
    kept.reserve(source.size());
    std::size_t at = 0;
    for (const Edit& edit : filter.edits) {
        kept.insert(kept.end(), text.begin() + std::ptrdiff_t(at), text.begin() + std::ptrdiff_t(edit.begin));
        kept.insert(kept.end(), edit.text.begin(), edit.text.end());
        at = edit.end;
    }
    kept.insert(kept.end(), source.begin() + std::ptrdiff_t(at), source.end());
    return kept;
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
    if (policy == MetadataPolicy::keepWithoutLocation) return withoutPosition(source);
    return source;
}

}  // namespace dorvex::ImageMetadataRules
