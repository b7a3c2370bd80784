#pragma once
// SegmentedPicker: a row of two or three mutually exclusive choices drawn as one rounded control,
// the chosen segment raised. Each segment is a checkable button, so keyboard and accessibility
// work as for buttons; `activated` reports a choice made by the user, never one set by code.

#include <QWidget>

class QAbstractButton;
class QButtonGroup;

namespace dorvex::app {

class SegmentedPicker : public QWidget {
    Q_OBJECT

public:
    explicit SegmentedPicker(const QStringList& choices, QWidget* parent = nullptr);

    int current() const;
    void setCurrent(int index);
    QAbstractButton* segment(int index) const;

signals:
    void activated(int index);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QButtonGroup* group_;
};

}  // namespace dorvex::app
