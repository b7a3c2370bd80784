#include "image/IcnsProbe.h"

#include <optional>
#include <utility>

#include "dorvex/image/ToolError.h"
#include "image/encoders/IcnsFile.h"
#include "dorvex/text/Translation.h"
#include "image/SourceChecks.h"

namespace dorvex {

namespace fs = std::filesystem;

namespace {

// ICNS files are small: the largest icon set is a few MiB. Anything bigger is refused unread.
constexpr std::uintmax_t maxIcnsBytes = 64u << 20;

}  // namespace

IcnsProbe probeIcns(const fs::path& file, std::int64_t byteCount) {
    if (std::uintmax_t(byteCount) > maxIcnsBytes) throw ToolError::unreadable(file, i18n("ICNS 文件过大"));
    std::optional<Picture> largest;
    int imageCount = 0;
    try {
        const IcnsFile icns = IcnsFile::read(file);
        largest = icns.decodeLargest();
        imageCount = int(icns.imageCount());
    } catch (const IcnsError& error) {
        throw refused(file, error.what());
    }
    if (!largest) throw ToolError::unreadable(file);
    if (!withinLimits(largest->size())) throw ToolError::tooLarge(file, largest->size());
    return IcnsProbe{std::move(*largest), imageCount};
}

}  // namespace dorvex
