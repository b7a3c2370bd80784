#include "pdf/PDFProfile.h"

#include <algorithm>
#include <cmath>

#include "dorvex/model/QualityModel.h"

namespace dorvex::PDFProfile {

int resolution(double level) {
    if (level < 2) return 300;
    if (level < 3) return int(std::trunc(300.0 * std::pow(0.48, level - 2.0)));
    if (level < 5) return int(std::trunc(144.0 * std::pow(2.0, -(level - 3.0) / 2.0)));
    return 72;
}

int quality(double level) { return QualityModel::quality(level); }

int FilterSettings::jpegQuality() const {
    const double scaled = std::round(compressionQuality * 100.0);
    if (!(scaled >= 1.0)) return 1;  // also for NaN
    return int(std::min(scaled, 100.0));
}

FilterSettings filterSettings(int resolution, int quality) {
    FilterSettings settings;
    settings.resolution = resolution;
    settings.compressionQuality = double(quality) / 100.0;
    return settings;
}

}  // namespace dorvex::PDFProfile
