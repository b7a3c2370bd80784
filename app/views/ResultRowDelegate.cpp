#include "views/ResultRowDelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include "model/CompressionItem.h"
#include "model/ItemListModel.h"
#include "views/RowActions.h"
#include "views/RowContent.h"
#include "views/ThemeIcon.h"
#include "views/ThumbnailCache.h"

// The icons are compiled into this static library; Qt needs them registered once by name.
static void registerIcons() { Q_INIT_RESOURCE(icons); }

namespace dorvex::app {

namespace {

constexpr int gap = 6;

QColor secondary(const QPalette& palette) { return palette.color(QPalette::PlaceholderText); }

// The pen of a text or symbol on the row: its own colour on the plain row; on a selected row the
// palette's highlighted text, since reds, greens, oranges and greys chosen for the base vanish on
// the highlight (red on blue, grey on blue in a dark palette).
QColor onRow(const QStyleOptionViewItem& option, const QColor& plain) {
    return option.state & QStyle::State_Selected ? option.palette.color(QPalette::HighlightedText) : plain;
}

QFont smaller(QFont font) {
    font.setPointSizeF(font.pointSizeF() * 0.85);
    return font;
}

}  // namespace

ResultRowDelegate::ResultRowDelegate(ThumbnailCache& thumbnails, QAbstractItemView* view)
    : QStyledItemDelegate(view), thumbnails_(thumbnails), view_(view) {
    registerIcons();
    clock_.start();
    spinnerTimer_.setInterval(80);
    spinnerTimer_.setSingleShot(true);
    connect(&spinnerTimer_, &QTimer::timeout, this, [this] {
        if (view_) view_->viewport()->update();
    });
    connect(&thumbnails_, &ThumbnailCache::loaded, this, [this] {
        if (view_) view_->viewport()->update();
    });
}

QSize ResultRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return QSize(option.rect.width(), rowHeight);
}

void ResultRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem panel = option;
    initStyleOption(&panel, index);
    panel.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, widget);

    const RowContent row = rowContent(index);
    const QRect area = option.rect.adjusted(margin, 0, -margin, 0);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);

    const QRect thumbnailRect(area.left(), area.center().y() - thumbnailSide / 2, thumbnailSide, thumbnailSide);
    paintThumbnail(painter, thumbnailRect, index);

    // Trailing element, right-aligned in its own column.
    const QRect trailing(area.right() - trailingWidth + 1, area.top(), trailingWidth, area.height());
    const int symbolSide = 18;
    const QRect symbol(trailing.right() - symbolSide + 1, trailing.center().y() - symbolSide / 2, symbolSide, symbolSide);
    switch (row.trailing) {
    case RowContent::Trailing::spinner:
        // Waiting rows stand still, so that the eye finds the ones at work.
        if (index.data(ItemListModel::PhaseRole).value<ItemListModel::Phase>() == ItemListModel::Phase::queued) {
            paintQueued(painter, symbol, onRow(option, secondary(option.palette)));
        } else {
            paintSpinner(painter, symbol, onRow(option, secondary(option.palette)));
        }
        break;
    case RowContent::Trailing::dash:
        painter->setPen(onRow(option, secondary(option.palette)));
        painter->drawText(trailing, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("—"));
        break;
    case RowContent::Trailing::failure:
        themeIcon(QStringLiteral("dialog-error"), QStringLiteral("xmark-circle-fill.svg")).paint(painter, symbol);
        break;
    case RowContent::Trailing::change: {
        QFont bold = option.font;
        bold.setBold(true);
        painter->setFont(bold);
        painter->setPen(onRow(option, tagColor(row.change.grew ? Format::TagColor::orange : Format::TagColor::green)));
        painter->drawText(trailing, Qt::AlignRight | Qt::AlignVCenter, QString::fromStdString(row.change.text));
        break;
    }
    }

    // Name over status line, between the thumbnail and the trailing column.
    const int textLeft = thumbnailRect.right() + 1 + 2 * gap;
    const int textRight = trailing.left() - gap;
    QFont nameFont = option.font;
    nameFont.setWeight(QFont::DemiBold);
    const QFontMetrics nameMetrics(nameFont);
    const QFont statusFont = smaller(option.font);
    const QFontMetrics statusMetrics(statusFont);
    const int textTop = area.center().y() - (nameMetrics.height() + 2 + statusMetrics.height()) / 2;

    // Tags follow the status line on its right; the status gives way first.
    const int tagPadding = 5;
    int tagsWidth = 0;
    for (const Format::Tag& tag : row.tags) {
        tagsWidth += statusMetrics.horizontalAdvance(QString::fromStdString(tag.text)) + 2 * tagPadding + gap;
    }
    painter->setFont(nameFont);
    painter->setPen(onRow(option, option.palette.color(QPalette::Text)));
    const QRect nameRect(textLeft, textTop, textRight - textLeft, nameMetrics.height());
    painter->drawText(nameRect, Qt::AlignLeft | Qt::AlignVCenter,
                      nameMetrics.elidedText(row.name, Qt::ElideMiddle, nameRect.width()));

    painter->setFont(statusFont);
    painter->setPen(onRow(option, row.failed ? failureColor() : secondary(option.palette)));
    const int statusTop = nameRect.bottom() + 3;
    const int statusWidth = std::max(0, textRight - textLeft - tagsWidth);
    const QString status = statusMetrics.elidedText(row.status, Qt::ElideRight, statusWidth);
    painter->drawText(QRect(textLeft, statusTop, statusWidth, statusMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      status);
    int tagLeft = textLeft + statusMetrics.horizontalAdvance(status) + gap;
    for (const Format::Tag& tag : row.tags) {
        const QString label = QString::fromStdString(tag.text);
        const QRect capsule(tagLeft, statusTop, statusMetrics.horizontalAdvance(label) + 2 * tagPadding,
                            statusMetrics.height());
        const QColor pen = onRow(option, tagColor(tag.color));
        QColor fill = pen;
        fill.setAlphaF(0.15f);
        painter->setPen(Qt::NoPen);
        painter->setBrush(fill);
        painter->drawRoundedRect(capsule, 4, 4);
        painter->setPen(pen);
        painter->drawText(capsule, Qt::AlignCenter, label);
        tagLeft = capsule.right() + 1 + gap;
    }
    painter->restore();
    if (option.state & QStyle::State_MouseOver) paintHoverButtons(painter, option, index);
}

void ResultRowDelegate::paintHoverButtons(QPainter* painter, const QStyleOptionViewItem& option,
                                          const QModelIndex& index) const {
    const auto* item = qobject_cast<const CompressionItem*>(index.data(ItemListModel::ItemRole).value<QObject*>());
    if (!item) return;
    const std::vector<RowAction> buttons = RowActions::hoverButtons(*item);
    if (buttons.empty()) return;
    const std::vector<QRect> rects = RowActions::hoverButtonRects(option.rect, buttons.size());
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    // A backdrop, so that the status line running underneath does not show through.
    painter->setPen(Qt::NoPen);
    painter->setBrush(option.palette.color(QPalette::Base));
    painter->drawRoundedRect(rects.front().united(rects.back()).adjusted(-gap, -2, gap, 2), 6, 6);
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        const QRect icon = rects[i].adjusted(4, 4, -4, -4);
        RowActions::icon(buttons[i]).paint(painter, icon, Qt::AlignCenter,
                                           buttons[i].enabled ? QIcon::Normal : QIcon::Disabled);
    }
    painter->restore();
}

void ResultRowDelegate::paintThumbnail(QPainter* painter, const QRect& rect, const QModelIndex& index) const {
    QPainterPath rounded;
    rounded.addRoundedRect(rect, 6, 6);
    const auto* item = qobject_cast<const CompressionItem*>(index.data(ItemListModel::ItemRole).value<QObject*>());
    const QImage picture = item ? thumbnails_.picture(thumbnailFile(*item)) : QImage();
    painter->save();
    painter->setClipPath(rounded);
    if (picture.isNull()) {
        painter->fillPath(rounded, QColor(128, 128, 128, 40));
        const QRect icon = rect.adjusted(10, 10, -10, -10);
        themeIcon(QStringLiteral("image-x-generic"), QStringLiteral("photo.svg")).paint(painter, icon);
    } else {
        // Filled like a square crop: the shorter side spans the square.
        const QSizeF size = QSizeF(picture.size()).scaled(rect.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(rect.center().x() + 0.5 - size.width() / 2, rect.center().y() + 0.5 - size.height() / 2,
                            size.width(), size.height());
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        painter->drawImage(target, picture);
    }
    painter->restore();
}

void ResultRowDelegate::paintSpinner(QPainter* painter, const QRect& rect, const QColor& color) const {
    const int turn = int(clock_.elapsed() % 1000) * 360 / 1000;
    painter->save();
    QPen pen(color, 2);
    pen.setCapStyle(Qt::RoundCap);
    painter->setPen(pen);
    painter->drawArc(rect.adjusted(2, 2, -2, -2), -turn * 16, 270 * 16);
    painter->restore();
    // Another frame soon; the timer is single-shot, so it stops once no spinner is painted.
    if (!spinnerTimer_.isActive()) spinnerTimer_.start();
}

void ResultRowDelegate::paintQueued(QPainter* painter, const QRect& rect, const QColor& color) {
    // A clock face: a thin ring with its hands at ten past, in the secondary colour.
    const QRectF face = QRectF(rect).adjusted(2.5, 2.5, -2.5, -2.5);
    const QPointF centre = face.center();
    painter->save();
    QPen pen(color, 1.5);
    pen.setCapStyle(Qt::RoundCap);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    painter->drawEllipse(face);
    const double hand = face.width() / 2 - 2.5;
    painter->drawLine(centre, centre - QPointF(0, hand));
    painter->drawLine(centre, centre + QPointF(hand * 0.7, 0));
    painter->restore();
}

bool ResultRowDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip) return QStyledItemDelegate::helpEvent(event, view, option, index);
    // Over a hover button, the button's own tooltip.
    if (const auto* item = qobject_cast<const CompressionItem*>(index.data(ItemListModel::ItemRole).value<QObject*>())) {
        if (const auto button = RowActions::hoverButtonAt(*item, option.rect, event->pos())) {
            QToolTip::showText(event->globalPos(), button->first.toolTip, view, button->second);
            return true;
        }
    }
    const QString tip = rowContent(index).toolTip;
    if (tip.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
        return false;
    }
    QToolTip::showText(event->globalPos(), tip, view, option.rect);
    return true;
}

}  // namespace dorvex::app
