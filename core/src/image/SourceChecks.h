#pragma once

#include <filesystem>
#include <string_view>

#include "dorvex/image/ToolError.h"
#include "dorvex/model/PixelSize.h"

namespace dorvex {

// True when a picture of `size` is one we decode: no side empty, none beyond SourceImage's limits.
bool withinLimits(PixelSize size);

// The error for a file the decoder refused, with the decoder's words; unless the file cannot even
// be opened now (it went, or lost its permissions, while it was being read): then that is the cause.
ToolError refused(const std::filesystem::path& file, std::string_view detail = {});

}  // namespace dorvex
