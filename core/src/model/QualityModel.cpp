#include "dorvex/model/QualityModel.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "dorvex/text/Translation.h"

namespace dorvex {

InvalidLevelError::InvalidLevelError(double value)
    : std::invalid_argument(i18nf("压缩等级无效：{}", value)), level(value) {}

namespace QualityModel {

namespace {
double rawQuality(double level) { return (level * -10.0 + 100.0) + 4.0; }
}  // namespace

bool isUsableLevel(double level) {
    if (!std::isfinite(level)) return false;
    double q = rawQuality(level);
    return q > double(std::numeric_limits<int>::min()) - 1.0 &&
           q < double(std::numeric_limits<int>::max()) + 1.0;
}

int quality(double level) {
    if (!isUsableLevel(level)) throw InvalidLevelError(level);
    return int(std::trunc(rawQuality(level)));
}

const LevelStep& step(double level) {
    double rounded = std::round(level);  // halves away from zero
    if (!(rounded >= 1.0)) return steps.front();
    if (rounded >= 6.0) return steps.back();
    return steps[std::size_t(rounded) - 1];
}

QualityRange pngQualityRange(int quality) {
    auto clamp = [](long long q) { return int(std::clamp<long long>(q, 0, 100)); };
    return {clamp(static_cast<long long>(quality) + 5), clamp(static_cast<long long>(quality) + 9)};
}

}  // namespace QualityModel
}  // namespace dorvex
