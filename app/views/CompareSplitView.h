#pragma once
// CompareSplitView: the source and its output drawn on top of each other at the same size, the
// source left of a draggable split and the output right of it, with their captions. It draws
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

private:
    QPixmap rendered(const QImage& picture) const;
    QRectF handleRect() const;

    QImage source_;
    QImage output_;
    QPixmap sourceCache_;
    QPixmap outputCache_;
    QString leftCaption_;
    QString rightCaption_;
    double split_ = 0.5;
    bool dragging_ = false;
    bool cacheStale_ = true;
    QTimer spinner_;  // turns the loading indicator while a picture is missing
    int spinnerAngle_ = 0;
};

}  // namespace dorvex::app
