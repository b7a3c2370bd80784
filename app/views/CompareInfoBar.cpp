#include "views/CompareInfoBar.h"

#include <QLabel>

#include <algorithm>

#include "dorvex/text/Format.h"
#include "model/UiText.h"
#include "views/RowContent.h"

namespace dorvex::app {

namespace {

constexpr QMargins barMargins{10, 6, 10, 6};
constexpr int gap = 24;  // between the facts and the score on one line
constexpr int lineGap = 2;

QString text(const std::string& s) { return QString::fromStdString(s); }

int lineHeight(const QLabel* label) { return label->sizeHint().height(); }

}  // namespace

QStringList compareInfo(const CompressionResult& result) {
    QStringList parts;
    parts << ui("尺寸 %1").arg(text(Format::dimensions(result)));
    const double saved = result.sourceBytes < 1 ? 0.0 : 1.0 - double(result.outputBytes) / double(result.sourceBytes);
    parts << text(Format::savings(saved));
    if (result.maxSizeMet) parts << (*result.maxSizeMet ? ui("体积上限 ✓ 达标") : ui("体积上限 ✗ 未达标"));
    QString attempts = uiPlural("尝试 %1 次", "尝试 %1 次", result.encodeCount).arg(result.encodeCount);
    if (result.maxSizeMet != true && result.stopReason)
        attempts += QStringLiteral(" · ") + text(Format::stopReason(*result.stopReason));
    parts << attempts;
    return parts;
}

std::optional<QColor> gradeColor(PerceptualScore::Grade grade) {
    using G = PerceptualScore::Grade;
    switch (grade) {
    case G::imperceptible: return tagColor(Format::TagColor::green);
    case G::subtle: return std::nullopt;
    case G::visible: return tagColor(Format::TagColor::orange);
    case G::obvious: return failureColor();
    }
    return std::nullopt;
}

CompareInfoBar::CompareInfoBar(QWidget* parent) : QWidget(parent), facts_(new QLabel(this)), score_(new QLabel(this)) {
    facts_->setObjectName(QStringLiteral("compareFacts"));
    score_->setObjectName(QStringLiteral("compareScore"));
    for (QLabel* label : {facts_, score_}) label->setTextFormat(Qt::PlainText);
    score_->hide();
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void CompareInfoBar::setResult(const CompressionResult& result) {
    facts_->setText(compareInfo(result).join(QStringLiteral("    ")));
    if (const std::optional<PerceptualScore>& score = result.perceptual) {
        score_->setText(text(Format::perceptual(*score)));
        score_->setToolTip(ui("butteraugli 最大差异 %1，3-范数 %2（低于 1 难以察觉，1–2 细微，2–3 可见，3 以上明显）")
                               .arg(score->butteraugli, 0, 'f', 2)
                               .arg(score->pnorm3, 0, 'f', 2));
        QPalette palette = this->palette();
        if (const std::optional<QColor> tint = gradeColor(score->grade())) palette.setColor(QPalette::WindowText, *tint);
        score_->setPalette(palette);
        score_->show();
    } else {
        score_->clear();
        score_->hide();
    }
    updateGeometry();
    place();
}

bool CompareInfoBar::scoreBelow(int width) const {
    if (score_->isHidden()) return false;
    const int oneLine = facts_->sizeHint().width() + gap + score_->sizeHint().width();
    return width - barMargins.left() - barMargins.right() < oneLine;
}

QSize CompareInfoBar::sizeHint() const {
    int width = facts_->sizeHint().width();
    if (!score_->isHidden()) width += gap + score_->sizeHint().width();
    return {width + barMargins.left() + barMargins.right(), lineHeight(facts_) + barMargins.top() + barMargins.bottom()};
}

QSize CompareInfoBar::minimumSizeHint() const {
    int width = facts_->sizeHint().width();
    if (!score_->isHidden()) width = std::max(width, score_->sizeHint().width());
    width += barMargins.left() + barMargins.right();
    return {width, heightForWidth(width)};
}

int CompareInfoBar::heightForWidth(int width) const {
    int height = lineHeight(facts_);
    if (scoreBelow(width)) height += lineGap + lineHeight(score_);
    return height + barMargins.top() + barMargins.bottom();
}

void CompareInfoBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    place();
}

void CompareInfoBar::place() {
    const QRect area = rect().marginsRemoved(barMargins);
    const int factsHeight = lineHeight(facts_);
    facts_->setGeometry(area.left(), area.top(), std::min(area.width(), facts_->sizeHint().width()), factsHeight);
    if (score_->isHidden()) return;
    const int scoreWidth = score_->sizeHint().width();
    if (scoreBelow(width())) {
        score_->setGeometry(area.left(), area.top() + factsHeight + lineGap, area.width(), lineHeight(score_));
    } else {
        score_->setGeometry(area.right() + 1 - scoreWidth, area.top(), scoreWidth, factsHeight);
    }
}

}  // namespace dorvex::app
