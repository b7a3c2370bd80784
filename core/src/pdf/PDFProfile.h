#pragma once
// PDFProfile: what a compression level asks of a PDF's images — the resolution they are brought
// down to and the JPEG quality they are re-encoded at — and the filter settings built from both.
// The one table that the PDF compressor, its tests and its benchmark read.

#include <string>

namespace dorvex::PDFProfile {

// Pixels per inch for a level: 300 below level 2, 300 × 0.48^(L − 2) from 2, 144 × 2^(−(L − 3) ÷ 2)
// from 3, 72 from 5 on (truncated; continuous: 300, 144, 101, 72 at 2, 3, 4, 5). A level that is not
// a number counts as the smallest resolution.
int resolution(double level);

// The JPEG quality of a level: 104 − 10 × level, truncated toward zero, not clamped (104 at level
// 0, 74 at level 3). Throws InvalidLevelError for a level that has no quality.
int quality(double level);

// How the images of one document are rewritten.
struct FilterSettings {
    std::string name = "Dorvex";
    int resolution = 144;             // pixels per inch that images are brought down to
    double compressionQuality = 0.74;  // the quality ÷ 100; above 1 at low levels
    bool scaleInterpolate = true;      // downsample with a resampling filter, not by dropping pixels
    int imageSizeMax = 0;              // longest side a rewritten image may keep, in pixels; 0: no bound
    int imageSizeMin = 0;              // images whose longest side is at most this stay as they are; 0: none

    bool operator==(const FilterSettings&) const = default;

    // The quality handed to the JPEG encoder: compressionQuality × 100, rounded, within 1…100.
    int jpegQuality() const;
};

FilterSettings filterSettings(int resolution, int quality);

}  // namespace dorvex::PDFProfile
