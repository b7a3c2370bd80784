#include "video/VideoSource.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "dorvex/model/Cancellation.h"
#include "dorvex/text/Translation.h"

namespace dorvex {

VideoError VideoError::unreadable(const std::string& detail) {
    return VideoError(Kind::unreadable, detail, i18nf("无法读取这个视频（{}）", detail));
}
VideoError VideoError::encodeFailed(const std::string& detail) {
    return VideoError(Kind::encodeFailed, detail, i18nf("视频编码失败（{}）", detail));
}
VideoError VideoError::noVideoTrack() { return VideoError(Kind::noVideoTrack, "", i18n("这个文件没有视频画面")); }
VideoError VideoError::cancelled() { return VideoError(Kind::cancelled, "", cancelledMessage()); }
VideoError VideoError::unavailable(const std::string& detail) {
    return VideoError(Kind::unavailable, detail, i18nf("视频组件无法使用（{}）", detail));
}

namespace {

int roundedDimension(double value) {
    if (!std::isfinite(value)) return 0;
    const double rounded = std::round(std::fabs(value));
    return rounded >= double(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max() : int(rounded);
}

}  // namespace

PixelSize VideoSource::displaySize(PixelSize size) const {
    const double w = size.width, h = size.height;
    const std::array<double, 4> xs{0, transform.a * w, transform.c * h, transform.a * w + transform.c * h};
    const std::array<double, 4> ys{0, transform.b * w, transform.d * h, transform.b * w + transform.d * h};
    const auto [minX, maxX] = std::minmax_element(xs.begin(), xs.end());
    const auto [minY, maxY] = std::minmax_element(ys.begin(), ys.end());
    return PixelSize{roundedDimension(*maxX - *minX), roundedDimension(*maxY - *minY)};
}

bool VideoSource::isHDR() const {
    return transferFunction && (*transferFunction == transferHLG || *transferFunction == transferPQ);
}

}  // namespace dorvex
