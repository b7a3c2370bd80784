#include "dorvex/model/PerceptualScore.h"

#include "dorvex/text/Translation.h"

namespace dorvex {

PerceptualScore::Grade PerceptualScore::grade() const {
    if (butteraugli < 1) return Grade::imperceptible;
    if (butteraugli < 2) return Grade::subtle;
    if (butteraugli < 3) return Grade::visible;
    return Grade::obvious;
}

std::string_view gradeText(PerceptualScore::Grade grade) {
    switch (grade) {
    case PerceptualScore::Grade::imperceptible: return i18n("难以察觉");
    case PerceptualScore::Grade::subtle: return i18n("细微");
    case PerceptualScore::Grade::visible: return i18n("可见");
    case PerceptualScore::Grade::obvious: return i18n("明显");
    }
    return {};
}

}  // namespace dorvex
