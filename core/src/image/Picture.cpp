#include "image/Picture.h"

#include "image/VipsPicture.h"

namespace dorvex {

PixelSize Picture::size() const {
    if (!storage_) return {};
    return {storage_->image.width(), storage_->image.height()};
}

namespace {

// Some decoders leave the interpretation vague (or wrong for the band count); fixes the label.
// (Each operation costs a small picture about as much as decoding it: none is added for naught.)
vips::VImage labelled(vips::VImage image) {
    const VipsInterpretation guessed = vips_image_guess_interpretation(image.get_image());
    if (guessed != image.interpretation()) image = image.copy(vips::VImage::option()->set("interpretation", guessed));
    return image;
}

// Colour samples as 8 bits, three colour bands and a straight alpha band, labelled sRGB: grey is
// spread over three bands, an opaque alpha added, extra alpha bands beyond the first dropped.
// Wider integers keep their top 8 bits; float samples (0–255) are rounded.
vips::VImage asRGBA8(vips::VImage image) {
    if (image.format() != VIPS_FORMAT_UCHAR) {
        const bool isFloat = vips_band_format_isfloat(image.format()) != 0;
        image = isFloat ? (image + 0.5).cast(VIPS_FORMAT_UCHAR)
                        : image.cast(VIPS_FORMAT_UCHAR, vips::VImage::option()->set("shift", true));
    }

    switch (image.bands()) {
    case 1: image = vips::VImage::bandjoin({image, image, image}).bandjoin_const({255}); break;
    case 2: {
        const vips::VImage grey = image.extract_band(0);
        image = vips::VImage::bandjoin({grey, grey, grey, image.extract_band(1)});
        break;
    }
    case 3: image = image.bandjoin_const({255}); break;
    case 4: break;
    default: image = image.extract_band(0, vips::VImage::option()->set("n", 4)); break;
    }
    if (image.interpretation() == VIPS_INTERPRETATION_sRGB) return image;
    return image.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

}  // namespace

// Converts any decoded layout to 8-bit sRGB with a straight alpha band. An embedded profile is
// honoured (relative colorimetric, as browsers do: out-of-gamut colours of wide-gamut sources are
// clipped); untagged images are taken as what their interpretation says (sRGB, grey, CMYK with
// libvips's built-in profile, 16-bit variants). Extra alpha bands beyond the first are dropped.
vips::VImage toSRGBA(vips::VImage image) {
    image = labelled(std::move(image));

    bool converted = false;
    if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        try {
            image = image.icc_transform("srgb", vips::VImage::option()
                                                    ->set("embedded", true)
                                                    ->set("intent", VIPS_INTENT_RELATIVE)
                                                    ->set("depth", 8));
            converted = true;
        } catch (const vips::VError&) {
            // A damaged profile, or one that does not match the pixels: read them untagged.
            image = image.copy();
            image.remove(VIPS_META_ICC_NAME);
        }
    }
    if (!converted && image.interpretation() != VIPS_INTERPRETATION_sRGB) {
        image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    }
    return asRGBA8(image);
}

vips::VImage toSRGBA(const vips::VImage& rgba, const ImageMetadata::Bytes& profile) {
    if (profile.empty()) return rgba;
    vips::VImage tagged = rgba.copy();
    vips_image_set_blob_copy(tagged.get_image(), VIPS_META_ICC_NAME, profile.data(), profile.size());
    return toSRGBA(tagged);
}

vips::VImage toRGBA(vips::VImage image) {
    image = labelled(std::move(image)).copy();
    image.remove(VIPS_META_ICC_NAME);
    return asRGBA8(image);
}

}  // namespace dorvex
