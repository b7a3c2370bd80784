#pragma once
// CompareZoom: the compare window's arithmetic — the fitted scale, zoom steps and limits, the
// 100 % toggle, the zoom as a percentage, the split fraction of a drag, the divider's grip and
// the size both pictures are drawn at. Scales are logical (device-independent) pixels per image
// pixel.

#include <QSizeF>
#include <QString>

#include <optional>

#include "dorvex/model/PixelSize.h"

namespace dorvex::app::CompareZoom {

inline constexpr double minScale = 0.02;
inline constexpr double maxScale = 8.0;
inline constexpr double zoomInFactor = 1.25;
inline constexpr double zoomOutFactor = 0.8;

// One image pixel per device pixel: 1 / the screen's device pixel ratio, 0.5 without a screen.
double actualPixelsScale(std::optional<double> devicePixelRatio);

// The largest scale that shows all of `source` in `available` without enlarging past one image
// pixel per device pixel; 1 for an empty source.
double fitScale(PixelSize source, QSizeF available, std::optional<double> devicePixelRatio);

double clamped(double scale);

// The scale after zooming by `factor` from `effective`, kept within the limits.
double zoomed(double effective, double factor);

// A double-click: from fit to one image pixel per device pixel, and from any zoom back to fit
// (nullopt).
std::optional<double> toggled(const std::optional<double>& scale, std::optional<double> devicePixelRatio);

// The zoom as the toolbar reads it: 100 % is one image pixel per device pixel; "25 %".
QString percentText(double scale, std::optional<double> devicePixelRatio);

// The split after a drag at `x` in a picture `width` wide, within 0…1.
double splitFraction(double x, double width);

// How far from the divider a press still takes it, in logical pixels.
inline constexpr double dividerGrip = 6;

// Both pictures are drawn at the source's pixel size times `scale`, so that a downscaled output
// covers the same area as its source.
QSizeF drawnSize(PixelSize source, double scale);

}  // namespace dorvex::app::CompareZoom
