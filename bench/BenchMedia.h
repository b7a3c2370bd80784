#pragma once
// The media the benchmarks read by default: the repository's tests/media, and the large camera
// photos it does not keep, made from one of its photos at the size of the camera's.

#include <vips/vips8>

#include <filesystem>
#include <string>

#include "image/VipsRuntime.h"

namespace dorvex::bench {

namespace fs = std::filesystem;

// A file or folder of tests/media ("images/Dune.jpg").
inline fs::path testMedia(const std::string& relative) { return fs::path(DORVEX_TEST_MEDIA_DIR) / relative; }

// A width × height JPEG at quality 92, as a camera stores it: the landscape photo of tests/media
// stretched to that size. Made once in `folder` (which the caller owns and removes) and reused.
inline fs::path cameraPhoto(const fs::path& folder, int width, int height) {
    const fs::path file = folder / ("camera-" + std::to_string(width) + "x" + std::to_string(height) + ".jpg");
    if (fs::exists(file)) return file;
    VipsRuntime::start();
    const vips::VImage source = vips::VImage::new_from_file(testMedia("images/Dune.jpg").c_str());
    source.resize(double(width) / source.width(), vips::VImage::option()->set("vscale", double(height) / source.height()))
        .jpegsave(file.c_str(), vips::VImage::option()->set("Q", 92));
    return file;
}

}  // namespace dorvex::bench
