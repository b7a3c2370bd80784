#include "image/KeptMetadata.h"

#include <optional>

#include "image/ColourProfile.h"
#include "image/VipsBlob.h"
#include "image/VipsMetadata.h"

namespace dorvex {

namespace fs = std::filesystem;

// The profile of the colour space the decoded pixels stay in (see ColourProfile), empty when
// they are converted to sRGB: the file's own RGB profile, or for a HEIF file without one a
// profile made from its nclx colour information. Only colour pictures stay: grey, CMYK, Lab and
// float pixels are converted, as is everything whose colours cannot be kept.
ImageMetadata::Bytes keptColourProfile(const Opened& opened, const fs::path& file) {
    const VipsInterpretation interpretation = vips_image_guess_interpretation(opened.image.get_image());
    if (opened.image.bands() < 3 ||
        (interpretation != VIPS_INTERPRETATION_sRGB && interpretation != VIPS_INTERPRETATION_RGB16)) {
        return {};
    }
    std::optional<ImageMetadata::Bytes> profile;
    if (opened.image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        profile = ColourProfile::keepable(blobField(opened.image, VIPS_META_ICC_NAME));
    } else if (opened.isHeif) {
        if (const std::optional<ColourProfile::Nclx> nclx = ColourProfile::heifNclx(file)) {
            if (const std::optional<ImageMetadata::Bytes> made = ColourProfile::fromNclx(*nclx)) {
                profile = ColourProfile::keepable(*made);
            }
        }
    }
    return profile.value_or(ImageMetadata::Bytes{});
}

// What an output keeps of a decoded file's metadata. The pixels are held upright, so the EXIF
// orientation becomes 1. Pixels kept in their own colour space keep its profile under every
// policy (without it their colours would change); pixels converted to sRGB keep the sRGB profile
// where the source carried one and metadata is kept (the source's own would mislabel them).
ImageMetadata keptMetadata(const vips::VImage& decoded, MetadataPolicy policy, const ImageMetadata::Bytes& colourProfile) {
    ImageMetadata kept;
    kept.icc = colourProfile;
    if (policy == MetadataPolicy::strip) return kept;
    kept.exif = ImageMetadataRules::exif(blobField(decoded, VIPS_META_EXIF_NAME), policy, true);
    kept.xmp = ImageMetadataRules::xmp(blobField(decoded, VIPS_META_XMP_NAME), policy);
    if (kept.icc.empty() && decoded.get_typeof(VIPS_META_ICC_NAME) != 0) {
        kept.icc = blobBytes(vips::VImage::profile_load("srgb"));
    }
    return kept;
}

// The same for the pixels as the file stores them: not turned, in the file's own profile.
ImageMetadata metadataAsStored(const vips::VImage& decoded, MetadataPolicy policy, int orientation) {
    return ImageMetadata{ImageMetadataRules::storedExif(blobField(decoded, VIPS_META_EXIF_NAME), policy, orientation),
                         ImageMetadataRules::xmp(blobField(decoded, VIPS_META_XMP_NAME), policy),
                         blobField(decoded, VIPS_META_ICC_NAME)};
}

}  // namespace dorvex
