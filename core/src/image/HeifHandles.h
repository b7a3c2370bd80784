#pragma once
// HeifHandles: private to the sources that call libheif directly. Owners of its objects, the test
// of its error values, and the one start of the library for the process.

#include <libheif/heif.h>

#include <memory>

namespace dorvex::HeifHandles {

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct EncoderRelease {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct OptionsFree {
    void operator()(heif_encoding_options* options) const { heif_encoding_options_free(options); }
};
struct NclxFree {
    void operator()(heif_color_profile_nclx* nclx) const { heif_nclx_color_profile_free(nclx); }
};

using Context = std::unique_ptr<heif_context, ContextFree>;
using Encoder = std::unique_ptr<heif_encoder, EncoderRelease>;
using Image = std::unique_ptr<heif_image, ImageRelease>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;
using Options = std::unique_ptr<heif_encoding_options, OptionsFree>;
using NclxProfile = std::unique_ptr<heif_color_profile_nclx, NclxFree>;

inline bool ok(const heif_error& error) { return error.code == heif_error_Ok; }

// Loads libheif's plug-ins once for the process (libvips may already have done so; the calls
// are counted and harmless). False when libheif cannot start.
inline bool start() {
    static const bool started = ok(heif_init(nullptr));
    return started;
}

}  // namespace dorvex::HeifHandles
