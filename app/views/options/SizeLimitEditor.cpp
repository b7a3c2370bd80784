#include "views/options/SizeLimitEditor.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "views/options/SwitchButton.h"

namespace dorvex::app {

namespace {

double bytesPer(SizeLimitEditor::Unit unit) { return unit == SizeLimitEditor::Unit::kb ? 1e3 : 1e6; }

// The amount field: holds the value to the byte (six decimals cover MB) and shows it in the
// locale's format with at most two decimals and no trailing zeros.
class AmountField : public QDoubleSpinBox {
public:
    AmountField() {
        setDecimals(6);
        setRange(0, double(SizeLimitEditor::largestLimit) / 1e3);
        setButtonSymbols(QAbstractSpinBox::NoButtons);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    QString textFromValue(double value) const override {
        QLocale shown = locale();
        if (!isGroupSeparatorShown()) shown.setNumberOptions(shown.numberOptions() | QLocale::OmitGroupSeparator);
        return shown.toString(std::round(value * 100) / 100, 'f', QLocale::FloatingPointShortest);
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
    value_->setAccessibleName(QStringLiteral("体积"));
    unit_->setObjectName(QStringLiteral("limitUnit"));
    unit_->setAccessibleName(QStringLiteral("单位"));
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
    connect(unit_, &QComboBox::currentIndexChanged, this, &SizeLimitEditor::amountEdited);
}

SizeLimitEditor::Amount SizeLimitEditor::amount() const {
    return {value_->value(), unit_->currentIndex() == 0 ? Unit::kb : Unit::mb};
}

void SizeLimitEditor::setLimit(std::optional<std::int64_t> limit) {
    showing_ = true;
    limit_ = limit;
    switch_->setChecked(limit.has_value());
    // An amount that already gives this limit stays as the user typed it (0.5 KB stays 0.5).
    if (limit && byteCount(amount()) != *limit) showAmount(amountOf(*limit));
    value_->setEnabled(limit.has_value());
    unit_->setEnabled(limit.has_value());
    showing_ = false;
}

void SizeLimitEditor::showAmount(Amount shown) {
    const bool wasShowing = showing_;
    showing_ = true;
    unit_->setCurrentIndex(shown.unit == Unit::kb ? 0 : 1);
    value_->setValue(shown.value);
    showing_ = wasShowing;
}

void SizeLimitEditor::amountEdited() {
    if (showing_ || !limit_) return;
    limit_ = byteCount(amount());
    emit limitEdited(limit_);
}

}  // namespace dorvex::app
