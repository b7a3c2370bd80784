#pragma once
// CompareSplitView: the source and its output drawn on top of each other at the same size, the
// source left of a draggable split and the output right of it, with their captions. The split
// moves when its divider (the line or its round handle) is dragged, or on a drag anywhere with
// Shift held; any other drag pans the picture. It draws
// from one screen-sized pixmap per picture, made again only when the zoom or the visible part
// changes, so that large photos stay smooth while the split moves.

#include <QImage>
#include <QPixmap>
#include <QString>
#include <QTimer>

#include "views/CompareImageView.h"

namespace dorvex::app {

class CompareSplitView : public CompareImageView {
    Q_OBJECT

public:
    explicit CompareSplitView(QWidget* parent = nullptr);

    // A null image while it loads.
    void setPictures(const QImage& source, const QImage& output);
    void setCaptions(const QString& left, const QString& right);
    bool hasPictures() const { return !source_.isNull() && !output_.isNull(); }
    const QImage& outputPicture() const { return output_; }

    // The split's fraction of the width, 0…1.
    double split() const { return split_; }
    void setSplit(double fraction);

signals:
    void splitChanged(double fraction);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void viewChanged() override;
    Qt::CursorShape cursorAt(QPointF point) const override;

private:
    QPixmap rendered(const QImage& picture) const;
    QRectF handleRect() const;
    // Whether a press at `point` takes the divider.
    bool onDivider(QPointF point) const;
    void dragSplitTo(double x);

    QImage source_;
    QImage output_;
    QPixmap sourceCache_;
    QPixmap outputCache_;
    QString leftCaption_;
    QString rightCaption_;
    double split_ = 0.5;
    std::optional<double> dragOffset_;  // while the split is dragged: the pointer's distance from it
    bool cacheStale_ = true;
    QTimer spinner_;  // turns the loading indicator while a picture is missing
    int spinnerAngle_ = 0;
};

}  // namespace dorvex::app
