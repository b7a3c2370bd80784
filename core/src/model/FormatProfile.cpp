#include "dorvex/model/FormatProfile.h"

#include <algorithm>
#include <cmath>
#include <span>

namespace dorvex {

const SearchBudget SearchBudget::standard{16, 6, 3, 0.97};
const SearchBudget SearchBudget::slow{8, 4, 2, 0.9};

FormatProfile FormatProfile::of(OutputFormat format, bool jxlLossless) {
    switch (format) {
        case OutputFormat::jpeg: return {30, 100, SearchBudget::standard};
        case OutputFormat::png: return {10, 100, SearchBudget::standard};
        case OutputFormat::webp: return {30, 100, SearchBudget::standard};
        case OutputFormat::avif: return {40, 100, SearchBudget::slow};
        case OutputFormat::heic: return {30, 100, SearchBudget::standard};
        case OutputFormat::jxl:
            if (jxlLossless) return {0, 100, std::nullopt};
            return {30, 94, SearchBudget::slow};
        case OutputFormat::tiff:
        case OutputFormat::icns:
        case OutputFormat::mp4:
        case OutputFormat::mov:
        case OutputFormat::pdf: return {0, 100, std::nullopt};
    }
    return {0, 100, std::nullopt};
}

namespace {

struct ScalePoint {
    int nominal;
    int encoder;
};

// Per format, the encoder quality whose median butteraugli distance (3-norm) over eight photos
// matches that of mozjpeg's cjpeg at the same nominal quality, measured at the six levels'
// qualities with bench/quality-calibration (figures in docs/ARCHITECTURE.md). 0 and 100 stay
// fixed, so that the best setting stays the encoder's best. x265 at one number looks far better
// than the others and falls off fast below 45, hence HEIC's narrow span; AVIF needs less than its
// number too, WebP and JPEG XL about the same.
constexpr ScalePoint webpScale[] = {{0, 0}, {44, 41}, {54, 53}, {64, 66}, {74, 77}, {84, 85}, {94, 94}, {100, 100}};
constexpr ScalePoint avifScale[] = {{0, 0}, {44, 43}, {54, 46}, {64, 51}, {74, 58}, {84, 72}, {94, 89}, {100, 100}};
constexpr ScalePoint heicScale[] = {{0, 0}, {44, 34}, {54, 36}, {64, 38}, {74, 43}, {84, 49}, {94, 61}, {100, 100}};
constexpr ScalePoint jxlScale[] = {{0, 0}, {44, 44}, {54, 53}, {64, 60}, {74, 70}, {84, 81}, {94, 91}, {100, 100}};

std::span<const ScalePoint> scaleOf(OutputFormat format) {
    switch (format) {
        case OutputFormat::webp: return webpScale;
        case OutputFormat::avif: return avifScale;
        case OutputFormat::heic: return heicScale;
        case OutputFormat::jxl: return jxlScale;
        case OutputFormat::jpeg:
        case OutputFormat::png:
        case OutputFormat::tiff:
        case OutputFormat::icns:
        case OutputFormat::mp4:
        case OutputFormat::mov:
        case OutputFormat::pdf: return {};
    }
    return {};
}

}  // namespace

int FormatProfile::encoderQuality(OutputFormat format, int nominal) {
    const std::span<const ScalePoint> scale = scaleOf(format);
    if (scale.empty()) return nominal;
    nominal = std::clamp(nominal, scale.front().nominal, scale.back().nominal);
    const auto above = std::ranges::find_if(scale, [&](const ScalePoint& p) { return p.nominal >= nominal; });
    if (above == scale.begin()) return above->encoder;
    const auto below = above - 1;
    const double t = double(nominal - below->nominal) / double(above->nominal - below->nominal);
    return int(std::lround(below->encoder + t * (above->encoder - below->encoder)));
}

}  // namespace dorvex
