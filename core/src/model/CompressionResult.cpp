#include "dorvex/model/CompressionResult.h"

#include <array>

#include "dorvex/text/Translation.h"

namespace dorvex {

namespace {

struct SkipRow {
    std::string_view raw;
    std::string_view text;
};

constexpr std::array<SkipRow, 5> kSkipRows{{
    {"no_savings", i18nMark("无收益，已保留原图")},
    {"lossy_source", i18nMark("有损源，跳过无损 JXL")},
    {"multi_page", i18nMark("多页 TIFF，跳过无损 JXL")},
    {"encrypted", i18nMark("PDF 有密码，已跳过")},
    // pngquant cannot reach the level's lowest quality with 256 colours (a photo-like PNG).
    {"too_many_colors", i18nMark("PNG 色彩过多，已保留原图")},
}};

constexpr std::array<SkipReason, 5> kSkipReasons{SkipReason::noSavings, SkipReason::lossySource,
                                                 SkipReason::multiPage, SkipReason::encrypted,
                                                 SkipReason::tooManyColors};

}  // namespace

std::span<const SkipReason> SkipReason::allCases() { return kSkipReasons; }
std::optional<SkipReason> SkipReason::fromRawValue(std::string_view raw) {
    return caseWithRawValue(allCases(), raw);
}
std::string_view SkipReason::rawValue() const { return kSkipRows[value].raw; }
std::string_view SkipReason::text() const { return i18n(kSkipRows[value].text.data()); }

double CompressionResult::savedFraction() const {
    if (sourceBytes <= 0) return 0;
    return 1.0 - double(outputBytes) / double(sourceBytes);
}

}  // namespace dorvex
