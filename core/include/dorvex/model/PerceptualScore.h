#pragma once
// PerceptualScore: how different an output looks from its source, as butteraugli measures it
// between the upright source (at the output's pixel size) and the decoded output: its largest
// local difference and the 3-norm over the picture. 0 is identical; about 1 is where a careful
// viewer starts to see a difference.

#include <cstdint>
#include <string_view>

namespace dorvex {

struct PerceptualScore {
    double butteraugli = 0;  // the max-norm
    double pnorm3 = 0;

    // How a viewer would judge the max-norm, at butteraugli's usual thresholds.
    enum class Grade : std::uint8_t { imperceptible, subtle, visible, obvious };
    // Below 1 imperceptible, 1–2 subtle, 2–3 visible, 3 and above obvious.
    Grade grade() const;

    bool operator==(const PerceptualScore&) const = default;
};

// "难以察觉", "细微", "可见", "明显".
std::string_view gradeText(PerceptualScore::Grade grade);

}  // namespace dorvex
