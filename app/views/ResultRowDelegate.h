#pragma once
// ResultRowDelegate: paints one result row of the item list — thumbnail (or its placeholder),
// the name truncated in the middle, the status line, the coloured tags, the trailing element (a
// still clock face while queued, a turning spinner while running) and,
// on the hovered row, the action buttons — and answers tooltip requests with the failure text,
// the warnings or the button's own. No widget per row, so that ten thousand rows scroll smoothly.

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
    static constexpr int margin = 8;          // left and right of the row's content
    static constexpr int trailingWidth = 56;  // the column of the trailing element

    // Repaints `view` as pictures arrive and while a spinner turns.
    ResultRowDelegate(ThumbnailCache& thumbnails, QAbstractItemView* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
    // Whether a spinner was painted since the last repaint it asked for.
    bool animating() const { return spinnerTimer_.isActive(); }

private:
    void paintThumbnail(QPainter* painter, const QRect& rect, const QModelIndex& index) const;
    void paintSpinner(QPainter* painter, const QRect& rect, const QColor& color) const;
    static void paintQueued(QPainter* painter, const QRect& rect, const QColor& color);
    void paintHoverButtons(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;

    ThumbnailCache& thumbnails_;
    QPointer<QAbstractItemView> view_;
    QElapsedTimer clock_;
    mutable QTimer spinnerTimer_;  // runs only while a painted row shows a spinner
};

}  // namespace dorvex::app
