#pragma once
// EmptyDropZone: what the main window shows while the list is empty — the drop symbol, the title
// and the kinds of files taken, in a rounded dashed frame that lights up in the accent colour while
// a drag hovers over the window.

#include <QWidget>

class QLabel;

namespace dorvex::app {

class EmptyDropZone : public QWidget {
    Q_OBJECT

public:
    explicit EmptyDropZone(QWidget* parent = nullptr);

    bool isTargeted() const { return targeted_; }
    void setTargeted(bool targeted);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void refreshSymbol();

    QLabel* symbol_;
    bool targeted_ = false;
};

}  // namespace dorvex::app
