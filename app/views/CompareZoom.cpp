#include "views/CompareZoom.h"

#include <algorithm>
#include <cmath>

#include "model/UiText.h"

namespace dorvex::app::CompareZoom {

double actualPixelsScale(std::optional<double> devicePixelRatio) {
    return devicePixelRatio && *devicePixelRatio > 0 ? 1.0 / *devicePixelRatio : 0.5;
}

double fitScale(PixelSize source, QSizeF available, std::optional<double> devicePixelRatio) {
    if (source.width <= 0 || source.height <= 0) return 1.0;
    return std::min({available.width() / source.width, available.height() / source.height,
                     actualPixelsScale(devicePixelRatio)});
}

double clamped(double scale) { return std::clamp(scale, minScale, maxScale); }

double zoomed(double effective, double factor) { return clamped(effective * factor); }

std::optional<double> toggled(const std::optional<double>& scale, std::optional<double> devicePixelRatio) {
    if (scale) return std::nullopt;
    return actualPixelsScale(devicePixelRatio);
}

QString percentText(double scale, std::optional<double> devicePixelRatio) {
    return ui("%1 %").arg(std::lround(scale / actualPixelsScale(devicePixelRatio) * 100));
}

double splitFraction(double x, double width) {
    if (width <= 0) return 0.5;
    return std::clamp(x / width, 0.0, 1.0);
}

QSizeF drawnSize(PixelSize source, double scale) {
    return {std::max(0, source.width) * scale, std::max(0, source.height) * scale};
}

}  // namespace dorvex::app::CompareZoom
