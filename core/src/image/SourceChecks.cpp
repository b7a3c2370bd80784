#include "image/SourceChecks.h"

#include <cstdint>
#include <string>

#include "image/SourceImage.h"
#include "dorvex/model/SourceFile.h"

namespace dorvex {

namespace fs = std::filesystem;

namespace {

// The first line of a decoder's message, without the spaces around it: libvips stacks a line per
// layer it passed through, and the first says what went wrong.
std::string firstLine(std::string_view message) {
    message = message.substr(0, message.find('\n'));
    const auto begin = message.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return {};
    const auto end = message.find_last_not_of(" \t\r");
    return std::string(message.substr(begin, end - begin + 1));
}

}  // namespace

bool withinLimits(PixelSize size) {
    return size.width >= 1 && size.height >= 1 && size.width <= SourceImage::maxSide &&
           size.height <= SourceImage::maxSide &&
           std::int64_t{size.width} * size.height <= SourceImage::maxPixelCount;
}

// The error for a file the decoder refused, with the decoder's words; unless the file cannot even
// be opened now (it went, or lost its permissions, while it was being read): then that is the cause.
ToolError refused(const fs::path& file, std::string_view detail) {
    if (const auto problem = SourceFile::readProblem(file)) return ToolError::inaccessible(file, *problem);
    return ToolError::unreadable(file, firstLine(detail));
}

}  // namespace dorvex
