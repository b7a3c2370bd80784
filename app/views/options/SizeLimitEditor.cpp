#include "views/options/SizeLimitEditor.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

#include "model/UiText.h"
#include "views/options/SwitchButton.h"

namespace dorvex::app {

namespace {

double bytesPer(SizeLimitEditor::Unit unit) { return unit == SizeLimitEditor::Unit::kb ? 1e3 : 1e6; }

// The amount field shows at most two decimals, so its smallest amount in MB is 0.01; what is typed
// may have three (to the byte in KB).
constexpr double smallestShown = 0.01;
constexpr int typedDecimals = 3;

// The amount field: holds the value to the byte (six decimals cover MB) and shows it in the
// locale's format with at most two decimals and no trailing zeros. What can be typed is a plain
// amount (digits and at most three decimals, no sign) up to the largest limit in the current unit.
// One below the smallest amount the field shows without reading 0 (1 KB, 0.01 MB) waits as typed
// and becomes that amount when the edit ends; one that is not a number yet (".") gives way to the
// amount before.
class AmountField : public QDoubleSpinBox {
public:
    AmountField() {
        setDecimals(6);
        setButtonSymbols(QAbstractSpinBox::NoButtons);
        setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    QString textFromValue(double value) const override {
        QLocale shown = locale();
        if (!isGroupSeparatorShown()) shown.setNumberOptions(shown.numberOptions() | QLocale::OmitGroupSeparator);
        return shown.toString(std::round(value * 100) / 100, 'f', QLocale::FloatingPointShortest);
    }

    double valueFromText(const QString& text) const override { return locale().toDouble(text); }

    QValidator::State validate(QString& input, int&) const override {
        const QString point = locale().decimalPoint();
        const qsizetype pointAt = input.indexOf(point);
        const qsizetype fractionDigits = pointAt < 0 ? 0 : input.size() - pointAt - point.size();
        for (qsizetype at = 0; at < input.size(); ++at)
            if (!input[at].isDigit() && (at < pointAt || at >= pointAt + point.size())) return QValidator::Invalid;
        if (fractionDigits > typedDecimals) return QValidator::Invalid;
        bool isNumber = false;
        const double value = locale().toDouble(input, &isNumber);
        if (!isNumber || value < minimum()) return QValidator::Intermediate;
        return value > maximum() ? QValidator::Invalid : QValidator::Acceptable;
    }

    void fixup(QString& input) const override {
        bool isNumber = false;
        if (locale().toDouble(input, &isNumber) < minimum() && isNumber) input = textFromValue(minimum());
    }
};

}  // namespace

std::int64_t SizeLimitEditor::byteCount(Amount amount) {
    const double bytes = amount.value * bytesPer(amount.unit);
    if (!std::isfinite(bytes)) return smallestLimit;
    return std::llround(std::clamp(bytes, double(smallestLimit), double(largestLimit)));
}

SizeLimitEditor::Amount SizeLimitEditor::amountOf(std::int64_t limit) {
    const Unit unit = limit < 1'000'000 ? Unit::kb : Unit::mb;
    return {double(limit) / bytesPer(unit), unit};
}

SizeLimitEditor::SizeLimitEditor(const QString& title, Amount start, QWidget* parent)
    : QWidget(parent), switch_(new SwitchButton(title)), value_(new AmountField), unit_(new QComboBox) {
    switch_->setObjectName(QStringLiteral("limitSwitch"));
    value_->setObjectName(QStringLiteral("limitValue"));
    value_->setAccessibleName(ui("体积"));
    unit_->setObjectName(QStringLiteral("limitUnit"));
    unit_->setAccessibleName(ui("单位"));
    unit_->addItems({QStringLiteral("KB"), QStringLiteral("MB")});

    auto* amountRow = new QHBoxLayout;
    amountRow->setSpacing(6);
    amountRow->addWidget(value_, 1);
    amountRow->addWidget(unit_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(switch_);
    layout->addLayout(amountRow);

    showAmount(start);
    setLimit(std::nullopt);
    connect(switch_, &QAbstractButton::toggled, this, [this](bool on) {
        if (showing_) return;
        setLimit(on ? std::optional(byteCount(amount())) : std::nullopt);
        emit limitEdited(limit_);
    });
    connect(value_, &QDoubleSpinBox::valueChanged, this, &SizeLimitEditor::amountEdited);
    connect(unit_, &QComboBox::currentIndexChanged, this, [this] {
        fitRange();
        amountEdited();
    });
}

SizeLimitEditor::Amount SizeLimitEditor::amount() const {
    return {value_->value(), unit_->currentIndex() == 0 ? Unit::kb : Unit::mb};
}

void SizeLimitEditor::setLimit(std::optional<std::int64_t> limit) {
    showing_ = true;
    limit_ = limit;
    switch_->setChecked(limit.has_value());
    // An amount that already gives this limit stays as the user typed it (1 000 KB stays, not 1 MB).
    if (limit && byteCount(amount()) != *limit) showAmount(amountOf(*limit));
    value_->setEnabled(limit.has_value());
    unit_->setEnabled(limit.has_value());
    showing_ = false;
}

void SizeLimitEditor::showAmount(Amount shown) {
    const bool wasShowing = showing_;
    showing_ = true;
    unit_->setCurrentIndex(shown.unit == Unit::kb ? 0 : 1);
    fitRange();
    value_->setValue(shown.value);
    showing_ = wasShowing;
}

void SizeLimitEditor::fitRange() {
    // Clamping the amount into the new range is not an edit of its own.
    const bool wasShowing = std::exchange(showing_, true);
    const double unitBytes = bytesPer(amount().unit);
    value_->setRange(std::max(double(smallestLimit) / unitBytes, smallestShown), double(largestLimit) / unitBytes);
    showing_ = wasShowing;
}

void SizeLimitEditor::amountEdited() {
    if (showing_ || !limit_) return;
    limit_ = byteCount(amount());
    emit limitEdited(limit_);
}

}  // namespace dorvex::app
