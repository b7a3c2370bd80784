#include "dorvex/model/PerceptualScore.h"

namespace dorvex {

PerceptualScore::Grade PerceptualScore::grade() const {
    if (butteraugli < 1) return Grade::imperceptible;
    if (butteraugli < 2) return Grade::subtle;
    if (butteraugli < 3) return Grade::visible;
    return Grade::obvious;
}

std::string_view gradeText(PerceptualScore::Grade grade) {
    switch (grade) {
    case PerceptualScore::Grade::imperceptible: return "难以察觉";
    case PerceptualScore::Grade::subtle: return "细微";
    case PerceptualScore::Grade::visible: return "可见";
    case PerceptualScore::Grade::obvious: return "明显";
    }
    return {};
}

}  // namespace dorvex
