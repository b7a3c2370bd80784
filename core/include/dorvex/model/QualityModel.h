#pragma once
// QualityModel: the compression level (1 best … 6 smallest, stored as a double) and what it
// means — the nominal encoder quality of the first encode, the PNG quantizer's quality window,
// and the name and hint that the interface shows for each whole step.

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>

#include "dorvex/text/Translation.h"

namespace dorvex {

// A level that has no quality: not a number, infinite, or so far out that its quality would not
// fit an integer. Options carrying one are refused before any encode.
struct InvalidLevelError : std::invalid_argument {
    explicit InvalidLevelError(double value);
    double level;
};

namespace QualityModel {

struct LevelStep {
    int level;
    int nominalQuality;
    std::string_view name;
    std::string_view hint;
};

// The six steps of the scale, best quality first. The one table that the engine, the option
// pickers and the tests read.
inline constexpr std::array<LevelStep, 6> steps{{
    {1, 94, i18nMark("最佳"), i18nMark("几乎看不出压缩痕迹")},
    {2, 84, i18nMark("高"), i18nMark("肉眼难分辨，适合作品集")},
    {3, 74, i18nMark("平衡"), i18nMark("画质和体积兼顾，日常推荐")},
    {4, 64, i18nMark("高效"), i18nMark("细节略有损失，适合网页、聊天")},
    {5, 54, i18nMark("小"), i18nMark("明显变小，放大能看出瑕疵")},
    {6, 44, i18nMark("最小"), i18nMark("体积优先，适合预览图")},
}};

// True when `quality(level)` is defined: the level is finite and its quality fits an int.
bool isUsableLevel(double level);

// 104 − 10 × level, truncated toward zero, not clamped (level 0.4 → 100, 12 → −16).
// Throws InvalidLevelError when !isUsableLevel(level).
int quality(double level);

// The step a level shows as: rounded half away from zero, clamped to 1…6 (any double, NaN → 1).
const LevelStep& step(double level);
// The step's name and hint in the user's language (the table holds them as written).
inline std::string_view name(double level) { return i18n(step(level).name.data()); }
inline std::string_view hint(double level) { return i18n(step(level).hint.data()); }

struct QualityRange {
    int minimum;
    int maximum;
    bool operator==(const QualityRange&) const = default;
};

// The quantizer's quality window for an encoder quality: (q + 5)…(q + 9), each end in 0…100.
QualityRange pngQualityRange(int quality);

}  // namespace QualityModel
}  // namespace dorvex
