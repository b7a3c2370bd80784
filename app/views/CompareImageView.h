#pragma once
// CompareImageView: a scrolling picture area that owns the zoom and the pan — fit to the window
// or a chosen scale, zoom steps, Ctrl+wheel and pinch zoom, double-click between fit and 100 %,
// dragging the picture with the left button (an open hand while it is larger than the window) —
// and leaves the drawing to a subclass. The picture is centred while smaller than the window.

#include <QAbstractScrollArea>
#include <QPointF>
#include <QRectF>

#include <optional>

#include "dorvex/model/PixelSize.h"

class QGestureEvent;

namespace dorvex::app {

class CompareImageView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit CompareImageView(QWidget* parent = nullptr);

    // The picture's pixel size, which all scales refer to.
    void setImageSize(PixelSize size);
    PixelSize imageSize() const { return imageSize_; }

    // The scale in use: the chosen one, else the fitted one.
    double zoom() const { return scale_.value_or(fitScale_); }
    // Sets a chosen scale (clamped), keeping the image point under `center` (viewport
    // coordinates) in place; the viewport's centre without one.
    void setZoom(double value, std::optional<QPointF> center = std::nullopt);
    bool zoomToFit() const { return !scale_; }
    void setZoomToFit();
    // One image pixel per device pixel.
    void setZoomToActualSize();
    void zoomBy(double factor);
    double fitScale() const { return fitScale_; }
    // The screen's device pixel ratio, nullopt without a screen.
    std::optional<double> devicePixelRatioOfScreen() const;

    // Between viewport and image coordinates.
    QPointF mapToView(QPointF imagePoint) const;
    QPointF mapToImage(QPointF viewPoint) const;
    // Where the whole picture lies in viewport coordinates.
    QRectF imageRect() const;
    // Whether the picture is larger than the window, so that a drag moves it.
    bool canPan() const;

signals:
    void zoomChanged(double zoom);
    void zoomToFitChanged(bool fit);

protected:
    bool viewportEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    // Called when the scale or the visible part changed.
    virtual void viewChanged() {}
    // The pointer's shape over `point` (viewport coordinates) while no button is down.
    virtual Qt::CursorShape cursorAt(QPointF point) const;

private:
    struct Pan {
        QPointF from;   // where the press was
        QPoint scroll;  // the scroll bars' values then
    };

    void applyScale(std::optional<double> scale, std::optional<QPointF> center);
    void updateScrollBars();
    void pinch(QGestureEvent* event);

    PixelSize imageSize_;
    std::optional<double> scale_;
    double fitScale_ = 1.0;
    std::optional<double> pinchBase_;
    std::optional<Pan> pan_;
};

}  // namespace dorvex::app
