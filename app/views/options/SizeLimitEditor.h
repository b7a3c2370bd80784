#pragma once
// SizeLimitEditor: one optional byte limit — a switch that turns it on and off, and an amount in
// KB or MB (1 KB = 1 000 bytes) that becomes the limit while it is on. The amount is kept exactly
// as given (a stored 999 999 bytes is 999.999 KB) even where the field shows it rounded. The field
// takes only amounts it can show, from 1 KB or 0.01 MB up to the largest limit: a typed 0.5 KB
// becomes 1 KB when the edit ends, so the field never shows less than the limit in force.

#include <QWidget>

#include <cstdint>
#include <optional>

class QComboBox;
class QDoubleSpinBox;

namespace dorvex::app {

class SwitchButton;

class SizeLimitEditor : public QWidget {
    Q_OBJECT

public:
    enum class Unit { kb, mb };
    struct Amount {
        double value;
        Unit unit;
        bool operator==(const Amount&) const = default;
    };

    static constexpr std::int64_t smallestLimit = 1'000;
    static constexpr std::int64_t largestLimit = 10'000'000'000;

    // round(value × the unit's bytes), within smallestLimit … largestLimit; smallestLimit when
    // the product is not a number or infinite.
    static std::int64_t byteCount(Amount amount);
    // How a limit is shown: below 1 000 000 bytes in KB, else in MB.
    static Amount amountOf(std::int64_t limit);

    // `start` is the amount shown until a limit is set.
    SizeLimitEditor(const QString& title, Amount start, QWidget* parent = nullptr);

    // Shows a limit (none: the switch off, the amount kept for the next time it is turned on).
    void setLimit(std::optional<std::int64_t> limit);
    std::optional<std::int64_t> limit() const { return limit_; }
    Amount amount() const;

signals:
    // The user changed the limit: the switch, or the amount while the switch is on.
    void limitEdited(std::optional<std::int64_t> limit);

private:
    void showAmount(Amount amount);
    // The amount field's range for the current unit.
    void fitRange();
    void amountEdited();

    SwitchButton* switch_;
    QDoubleSpinBox* value_;
    QComboBox* unit_;
    std::optional<std::int64_t> limit_;
    bool showing_ = false;
};

}  // namespace dorvex::app
