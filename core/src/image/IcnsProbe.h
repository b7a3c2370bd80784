#pragma once

#include <cstdint>
#include <filesystem>

#include "image/Picture.h"

namespace dorvex {

// An icon family through our own reader, which decodes every kind of element: PNG, JPEG 2000,
// ARGB and the run-length planes with their masks. The largest image that decodes stands for the
// file. Throws ToolError::unreadable when the file is too large, malformed or holds no image.
struct IcnsProbe {
    Picture picture;
    int imageCount = 0;
};

IcnsProbe probeIcns(const std::filesystem::path& file, std::int64_t byteCount);

}  // namespace dorvex
