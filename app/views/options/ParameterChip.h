#pragma once
// ParameterChip: a small rounded button that shows one option's current value and opens that
// option's popover below itself; pressing it while the popover is open closes it. The popover's
// content is made by the caller's factory when the chip is first pressed, and kept.

#include <QAbstractButton>

#include <functional>

namespace dorvex::app {

class Popover;

class ParameterChip : public QAbstractButton {
    Q_OBJECT

public:
    using ContentFactory = std::function<QWidget*()>;

    explicit ParameterChip(ContentFactory makeContent, QWidget* parent = nullptr);

    void setTitle(const QString& title);
    QString title() const { return text(); }
    bool isOpen() const;
    // Null until the chip was first pressed.
    Popover* popover() const { return popover_; }

    QSize sizeHint() const override;

private:
    void paintEvent(QPaintEvent* event) override;
    void toggle();

    ContentFactory makeContent_;
    Popover* popover_ = nullptr;
};

}  // namespace dorvex::app
