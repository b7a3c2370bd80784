#pragma once
// CompareInfoBar: the compare window's information bar — the result's facts on the left (size,
// saving, limit, attempts) and, for a result that has one, its perceptual score on the right,
// tinted by its grade. When the bar is too narrow for both on one line, the score takes a second
// line: the bar never needs more width than the longer of the two.

#include <QColor>
#include <QWidget>

#include <optional>

#include "dorvex/model/CompressionResult.h"

class QLabel;

namespace dorvex::app {

// The information bar's facts, left to right.
QStringList compareInfo(const CompressionResult& result);

// The tint of a score's grade: green where no difference shows, none for a subtle one, orange for
// a visible one, red for an obvious one.
std::optional<QColor> gradeColor(PerceptualScore::Grade grade);

class CompareInfoBar : public QWidget {
    Q_OBJECT

public:
    explicit CompareInfoBar(QWidget* parent = nullptr);

    void setResult(const CompressionResult& result);
    // Whether the score stands on a line of its own at this width.
    bool scoreBelow(int width) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void place();

    QLabel* facts_;
    QLabel* score_;
};

}  // namespace dorvex::app
