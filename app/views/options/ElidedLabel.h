#pragma once
// ElidedLabel: one line of text that takes the width its layout gives it and, when the text is
// longer, drops characters in the middle ("/home/…/Exports"); text() stays the whole text.

#include <QLabel>

namespace dorvex::app {

class ElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace dorvex::app
