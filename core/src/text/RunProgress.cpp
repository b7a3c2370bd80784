#include "dorvex/text/RunProgress.h"

#include <algorithm>

#include <fmt/format.h>

#include "dorvex/text/Format.h"
#include "dorvex/text/Translation.h"

namespace dorvex::RunProgress {

std::optional<double> secondsLeft(double elapsed, int finished, int total) {
    if (finished <= 0 || total <= finished) return std::nullopt;
    return std::max(elapsed, 0.0) / finished * (total - finished);
}

std::string text(int finished, int total, std::optional<double> secondsLeft) {
    std::string line = fmt::format("{}/{}", finished, total);
    if (secondsLeft) line += i18nf(" · 预计剩余 {}", Format::duration(*secondsLeft));
    return line;
}

}  // namespace dorvex::RunProgress
