#pragma once
// ResultRowDelegate: paints one result row of the item list — thumbnail (or its placeholder),
// the name truncated in the middle, the status line, the coloured tags and the trailing element —
// and answers tooltip requests with the failure text or the warnings. No widget per row, so
// that a list of ten thousand items scrolls smoothly.

#include <QElapsedTimer>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTimer>

namespace dorvex::app {

class ThumbnailCache;

class ResultRowDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int thumbnailSide = 40;  // logical pixels
    static constexpr int rowHeight = 56;

    // Repaints `view` as pictures arrive and while a spinner turns.
    ResultRowDelegate(ThumbnailCache& thumbnails, QAbstractItemView* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

private:
    void paintThumbnail(QPainter* painter, const QRect& rect, const QModelIndex& index) const;
    void paintSpinner(QPainter* painter, const QRect& rect, const QColor& color) const;

    ThumbnailCache& thumbnails_;
    QPointer<QAbstractItemView> view_;
    QElapsedTimer clock_;
    mutable QTimer spinnerTimer_;  // runs only while a painted row shows a spinner
};

}  // namespace dorvex::app
