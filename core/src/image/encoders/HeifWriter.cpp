#include "image/encoders/HeifWriter.h"

#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "image/HeifHandles.h"
#include "image/VipsPicture.h"

namespace dorvex::HeifWriter {

using vips::VImage;
using namespace HeifHandles;

namespace {

// The x265 encoder when it is there, otherwise libheif's first choice for HEVC.
Encoder hevcEncoder(heif_context* context) {
    std::array<const heif_encoder_descriptor*, 8> descriptors{};
    const int count = heif_context_get_encoder_descriptors(context, heif_compression_HEVC, nullptr, descriptors.data(),
                                                           int(descriptors.size()));
    if (count <= 0) return nullptr;
    const heif_encoder_descriptor* chosen = descriptors[0];
    for (int i = 0; i < count; ++i) {
        const char* id = heif_encoder_descriptor_get_id_name(descriptors[std::size_t(i)]);
        if (id != nullptr && std::string_view(id) == "x265") chosen = descriptors[std::size_t(i)];
    }
    heif_encoder* encoder = nullptr;
    if (!ok(heif_context_get_encoder(context, chosen, &encoder))) return nullptr;
    return Encoder(encoder);
}

// One interleaved 8-bit plane holding the picture's RGB, or RGBA when `withAlpha`.
Image interleavedImage(const VImage& rgba, bool withAlpha) {
    const int width = rgba.width();
    const int height = rgba.height();
    heif_image* created = nullptr;
    if (!ok(heif_image_create(width, height, heif_colorspace_RGB,
                              withAlpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &created))) {
        return nullptr;
    }
    Image image(created);
    if (!ok(heif_image_add_plane(image.get(), heif_channel_interleaved, width, height, 8))) return nullptr;
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    if (plane == nullptr) return nullptr;

    const auto* source = static_cast<const std::uint8_t*>(rgba.data());
    if (source == nullptr) return nullptr;
    const std::size_t sourceStride = std::size_t(width) * 4;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* from = source + std::size_t(y) * sourceStride;
        std::uint8_t* to = plane + std::size_t(y) * std::size_t(stride);
        if (withAlpha) {
            std::memcpy(to, from, sourceStride);
        } else {
            for (int x = 0; x < width; ++x, from += 4, to += 3) std::memcpy(to, from, 3);
        }
    }
    return image;
}

bool hasTranslucentPixels(const VImage& rgba) {
    const auto* pixels = static_cast<const std::uint8_t*>(rgba.data());
    const std::size_t count = std::size_t(rgba.width()) * std::size_t(rgba.height());
    for (std::size_t i = 0; i < count; ++i) {
        if (pixels[i * 4 + 3] != 255) return true;
    }
    return false;
}

// The AV1 encoder with libvips' settings for an effort and a quality; nullptr when there is none.
Encoder av1Encoder(heif_context* context, int effort, int quality) {
    heif_encoder* encoder = nullptr;
    if (!ok(heif_context_get_encoder_for_format(context, heif_compression_AV1, &encoder))) return nullptr;
    Encoder owned(encoder);
    const auto settable = [](const heif_error& error) {
        return ok(error) || error.subcode == heif_suberror_Unsupported_parameter;
    };
    if (!ok(heif_encoder_set_lossy_quality(owned.get(), quality)) || !ok(heif_encoder_set_lossless(owned.get(), 0)) ||
        !settable(heif_encoder_set_parameter_integer(owned.get(), "speed", 9 - effort)) ||
        !settable(heif_encoder_set_parameter_string(owned.get(), "chroma", quality >= 90 ? "444" : "420"))) {
        return nullptr;
    }
    return owned;
}

}  // namespace

std::optional<Bytes> encode(const Picture& picture, int quality, std::variant<Hevc, Av1> compression,
                            const ImageMetadata& metadata) {
    if (!start()) return std::nullopt;
    const VImage& rgba = vipsImage(picture);
    if (rgba.bands() != 4 || rgba.format() != VIPS_FORMAT_UCHAR) return std::nullopt;
    // The picture is held fully computed in memory; this only reaches its pixels.
    if (rgba.data() == nullptr) return std::nullopt;
    const bool withAlpha = hasTranslucentPixels(rgba);

    Context context(heif_context_alloc());
    if (!context) return std::nullopt;
    Encoder encoder;
    if (const auto* av1 = std::get_if<Av1>(&compression)) {
        encoder = av1Encoder(context.get(), av1->effort, quality);
    } else if ((encoder = hevcEncoder(context.get()))) {
        const std::string presetName(std::get<Hevc>(compression).preset);
        if (!ok(heif_encoder_set_lossy_quality(encoder.get(), quality)) ||
            !ok(heif_encoder_set_parameter_string(encoder.get(), "preset", presetName.c_str())) ||
            !ok(heif_encoder_set_parameter_string(encoder.get(), "chroma", "420"))) {
            return std::nullopt;
        }
    }
    if (!encoder) return std::nullopt;

    Image image = interleavedImage(rgba, withAlpha);
    if (!image) return std::nullopt;
    if (!metadata.icc.empty() &&
        !ok(heif_image_set_raw_color_profile(image.get(), "prof", metadata.icc.data(), metadata.icc.size()))) {
        return std::nullopt;
    }

    Options options(heif_encoding_options_alloc());
    if (!options) return std::nullopt;
    options->save_alpha_channel = withAlpha ? 1 : 0;

    heif_image_handle* encoded = nullptr;
    if (!ok(heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(), &encoded))) {
        return std::nullopt;
    }
    const Handle handle(encoded);
    if (!metadata.exif.empty() &&
        !ok(heif_context_add_exif_metadata(context.get(), handle.get(), metadata.exif.data(), int(metadata.exif.size())))) {
        return std::nullopt;
    }
    if (!metadata.xmp.empty() &&
        !ok(heif_context_add_XMP_metadata(context.get(), handle.get(), metadata.xmp.data(), int(metadata.xmp.size())))) {
        return std::nullopt;
    }

    // Written to memory first: libheif's own file writer does not report a file it cannot open.
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context*, const void* data, std::size_t size, void* userdata) {
        auto* bytes = static_cast<Bytes*>(userdata);
        const auto* from = static_cast<const std::uint8_t*>(data);
        bytes->insert(bytes->end(), from, from + size);
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
    };
    Bytes file;
    if (!ok(heif_context_write(context.get(), &writer, &file))) return std::nullopt;
    return file;
}

}  // namespace dorvex::HeifWriter
