#include "views/window/PresetPill.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "model/ObservablePresetStore.h"
#include "model/UiText.h"

namespace dorvex::app {

namespace {

constexpr int horizontalPadding = 12;
constexpr int dotSide = 5;
constexpr int dotGap = 6;

}  // namespace

PresetPill::PresetPill(ObservablePresetStore& store, Preset preset, QWidget* parent)
    : QAbstractButton(parent), store_(store), preset_(std::move(preset)) {
    setObjectName(QStringLiteral("presetPill"));
    setText(QString::fromStdString(preset_.shownName()));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setAccessibleName(text());
    setState(false, false);
    connect(this, &QAbstractButton::clicked, this, [this] { store_.select(preset_.id); });
}

void PresetPill::setState(bool selected, bool modified) {
    selected_ = selected;
    modified_ = selected && modified;
    setToolTip(modified_ ? ui("参数已修改，右键可更新预设") : text());
    updateGeometry();
    update();
}

std::unique_ptr<QMenu> PresetPill::contextMenu() {
    auto menu = std::make_unique<QMenu>(this);
    QAction* update = menu->addAction(ui("更新为当前参数"), this, [this] { store_.updateSelectedToCurrent(); });
    update->setObjectName(QStringLiteral("presetUpdateAction"));
    update->setEnabled(modified_);
    QAction* rename = menu->addAction(ui("重命名…"), this, [this] { emit renameRequested(preset_.id); });
    rename->setObjectName(QStringLiteral("presetRenameAction"));
    rename->setEnabled(!preset_.isBuiltIn);
    menu->addSeparator();
    const Uuid id = preset_.id;
    QAction* remove = menu->addAction(ui("删除"), &store_, [store = &store_, id] { store->remove(id); });
    remove->setObjectName(QStringLiteral("presetDeleteAction"));
    remove->setEnabled(!preset_.isBuiltIn);
    return menu;
}

QSize PresetPill::sizeHint() const {
    // The text's advance rounded up: Latin text measures fractions of a pixel, and rounded down it
    // would be elided when drawn.
    const QFontMetrics metrics(font());
    int width = int(std::ceil(QFontMetricsF(font()).horizontalAdvance(text()))) + 2 * horizontalPadding;
    if (modified_) width += dotGap + dotSide;
    return {width, metrics.height() + 10};
}

void PresetPill::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(frame, frame.height() / 2, frame.height() / 2);

    const QPalette& colors = palette();
    QColor fill;
    QColor ink;
    if (selected_) {
        fill = colors.color(QPalette::Highlight);
        ink = colors.color(QPalette::HighlightedText);
    } else {
        fill = colors.color(QPalette::Text);
        fill.setAlphaF(isDown() ? 0.16 : hovered_ ? 0.11 : 0.06);
        ink = colors.color(QPalette::Text);
        ink.setAlphaF(0.72);
    }
    painter.fillPath(path, fill);
    if (hasFocus()) {
        painter.setPen(QPen(colors.color(QPalette::Highlight), 1.5));
        painter.drawPath(path);
    }

    QRect textRect = rect().adjusted(horizontalPadding, 0, -horizontalPadding, 0);
    if (modified_) textRect.setRight(textRect.right() - dotGap - dotSide);
    painter.setPen(ink);
    painter.drawText(textRect, Qt::AlignCenter, fontMetrics().elidedText(text(), Qt::ElideRight, textRect.width()));
    if (modified_) {
        const QRectF dot(textRect.right() + dotGap, height() / 2.0 - dotSide / 2.0, dotSide, dotSide);
        painter.setPen(Qt::NoPen);
        painter.setBrush(ink);
        painter.drawEllipse(dot);
    }
}

void PresetPill::contextMenuEvent(QContextMenuEvent* event) {
    contextMenu()->exec(event->globalPos());
}

void PresetPill::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void PresetPill::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

}  // namespace dorvex::app
