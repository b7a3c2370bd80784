#pragma once
// SwitchButton: an on/off switch with its text on the left and the switch at the right edge — a
// checkable button (toggled, setChecked, click) drawn as a rounded track with a sliding knob.

#include <QAbstractButton>

namespace dorvex::app {

class SwitchButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit SwitchButton(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace dorvex::app
