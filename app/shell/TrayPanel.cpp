#include "shell/TrayPanel.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QAbstractButton>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

#include "model/AppModel.h"
#include "model/UiText.h"
#include "shell/ItemStatus.h"
#include "shell/TrayDropZone.h"
#include "views/RowActions.h"
#include "views/RowContent.h"
#include "views/options/ElidedLabel.h"
#include "views/options/Popover.h"

namespace dorvex::app {

namespace {

// How long after closing a click on the tray icon still counts as the closing click.
constexpr qint64 closingClickMs = 300;
constexpr int gap = 6;  // between the anchor and the panel, and from the screen's edges

void setStatus(QLabel& label, const ItemStatus& status) {
    label.setText(status.text);
    QPalette palette = label.parentWidget()->palette();
    QColor colour = palette.color(QPalette::PlaceholderText);
    if (status.style == ItemStatus::Style::failure) colour = failureColor();
    if (status.style == ItemStatus::Style::good) colour = tagColor(Format::TagColor::green);
    if (status.style == ItemStatus::Style::grew) colour = tagColor(Format::TagColor::orange);
    palette.setColor(QPalette::WindowText, colour);
    label.setPalette(palette);
    QFont font = label.parentWidget()->font();
    const bool change = status.style == ItemStatus::Style::good || status.style == ItemStatus::Style::grew;
    font.setWeight(change ? QFont::DemiBold : QFont::Normal);
    label.setFont(font);
}

constexpr int rowPadding = 6;  // around a recent item's line, inside its hover highlight

QPushButton* button(const QString& text, const char* name, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

}  // namespace

// One recent item's line: its name and short status. A finished item with an output is a button
// (highlighted under the pointer and with the focus) that opens it; other lines take no clicks.
class RecentRow : public QAbstractButton {
public:
    explicit RecentRow(QWidget* parent) : QAbstractButton(parent), name(new ElidedLabel(this)), status(new QLabel(this)) {
        name->setObjectName(QStringLiteral("recentName"));
        status->setObjectName(QStringLiteral("recentStatus"));
        auto* line = new QHBoxLayout(this);
        line->setContentsMargins(rowPadding, rowPadding / 2, rowPadding, rowPadding / 2);
        line->setSpacing(12);
        line->addWidget(name, 1);
        line->addWidget(status);
        setAttribute(Qt::WA_Hover);
        // A line of text on the panel rather than a button face: the labels keep their colours.
        setBackgroundRole(QPalette::Window);
        setForegroundRole(QPalette::WindowText);
    }

    void setItem(const CompressionItem& item) {
        item_ = &item;
        name->setText(QString::fromStdString(item.source().filename().string()));
        name->setToolTip(QString::fromStdString(item.source().string()));
        setStatus(*status, itemStatus(item));
        const std::vector<RowAction> actions = RowActions::hoverButtons(item);
        opens_ = !actions.empty();
        setToolTip(opens_ ? actions.front().text : QString());
        setFocusPolicy(opens_ ? Qt::StrongFocus : Qt::NoFocus);
        setCursor(opens_ ? Qt::PointingHandCursor : Qt::ArrowCursor);
        update();
    }
    const CompressionItem* item() const { return item_; }
    bool opens() const { return opens_; }

    ElidedLabel* name;
    QLabel* status;

protected:
    bool hitButton(const QPoint& pos) const override { return opens_ && QAbstractButton::hitButton(pos); }
    void paintEvent(QPaintEvent*) override {
        if (!opens_ || !(underMouse() || hasFocus() || isDown())) return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor highlight = palette().color(QPalette::Highlight);
        highlight.setAlphaF(isDown() ? 0.30F : 0.16F);
        painter.setPen(Qt::NoPen);
        painter.setBrush(highlight);
        painter.drawRoundedRect(QRectF(rect()), 5, 5);
    }

private:
    const CompressionItem* item_ = nullptr;
    bool opens_ = false;
};

TrayPanel::TrayPanel(AppModel& model, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), model_(model) {
    setObjectName(QStringLiteral("trayPanel"));
    // Another of our windows coming to the front (the main window it opened, a click on the
    // compare window) ends the panel; other applications' windows do not.
    connect(qApp, &QApplication::focusWindowChanged, this, [this](QWindow* focused) {
        if (focused != nullptr && isVisible() && focused != windowHandle()) hide();
    });
    setFixedWidth(panelWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 10);
    layout->setSpacing(8);

    auto* dropZone = new TrayDropZone(this);
    dropZone->setAccessibleName(ui("拖到这里压缩"));
    connect(dropZone, &TrayDropZone::dropped, this, [this](const QList<QUrl>& urls) { model_.add(urls); });
    connect(&model_, &AppModel::collectingChanged, dropZone, [this, dropZone] {
        dropZone->setCollected(model_.collecting() ? std::optional(model_.collectedCount()) : std::nullopt);
    });
    layout->addWidget(dropZone);

    auto* presetRow = new QHBoxLayout;
    auto* presetLabel = new QLabel(ui("预设"), this);
    presets_ = new QComboBox(this);
    presets_->setObjectName(QStringLiteral("presetPicker"));
    presetLabel->setBuddy(presets_);
    presetRow->addWidget(presetLabel);
    presetRow->addWidget(presets_, 1);
    layout->addLayout(presetRow);
    connect(presets_, &QComboBox::activated, this, [this](int index) {
        if (const auto id = Uuid::parse(presets_->itemData(index).toString().toStdString())) model_.presets().select(*id);
    });
    ObservablePresetStore& store = model_.presets();
    connect(&store, &ObservablePresetStore::libraryChanged, this, &TrayPanel::refreshPresets);
    connect(&store, &ObservablePresetStore::selectedIDChanged, this, &TrayPanel::refreshPresets);

    recentCaption_ = new QLabel(ui("最近"), this);
    recentCaption_->setObjectName(QStringLiteral("recentCaption"));
    recentCaption_->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(recentCaption_);
    recentCaption_->setContentsMargins(rowPadding, 0, 0, 0);
    auto* recentRows = new QVBoxLayout;
    recentRows->setSpacing(0);
    layout->addLayout(recentRows);
    for (int i = 0; i < recentCount; ++i) {
        auto* row = new RecentRow(this);
        row->setObjectName(QStringLiteral("recentRow%1").arg(i));
        connect(row, &QAbstractButton::clicked, this, [this, row] {
            const QList<CompressionItem*>& items = model_.items();
            const auto listed = std::find(items.begin(), items.end(), row->item());
            if (listed == items.end()) return;
            close();
            emit openRequested(*listed);
        });
        recentRows->addWidget(row);
        recent_[std::size_t(i)] = row;
    }
    ItemListModel* list = model_.itemList();
    connect(list, &QAbstractItemModel::rowsInserted, this, &TrayPanel::refreshRecent);
    connect(list, &QAbstractItemModel::rowsRemoved, this, &TrayPanel::refreshRecent);
    connect(list, &QAbstractItemModel::rowsMoved, this, &TrayPanel::refreshRecent);
    connect(list, &QAbstractItemModel::modelReset, this, &TrayPanel::refreshRecent);
    connect(list, &QAbstractItemModel::layoutChanged, this, &TrayPanel::refreshRecent);
    connect(list, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& topLeft) {
        if (topLeft.row() < recentCount) refreshRecent();
    });

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);
    auto* buttons = new QHBoxLayout;
    auto* openWindow = button(ui("打开主窗口"), "openWindowButton", this);
    auto* openSettings = button(ui("设置…"), "openSettingsButton", this);
    auto* quit = button(ui("退出"), "quitButton", this);
    buttons->addWidget(openWindow);
    buttons->addWidget(openSettings);
    buttons->addStretch(1);
    buttons->addWidget(quit);
    layout->addLayout(buttons);
    connect(openWindow, &QPushButton::clicked, this, [this] {
        close();
        model_.openWindow();
    });
    connect(openSettings, &QPushButton::clicked, this, [this] {
        close();
        model_.openSettings();
    });
    connect(quit, &QPushButton::clicked, this, [this] {
        close();
        emit quitRequested();
    });

    refreshPresets();
    refreshRecent();
}

void TrayPanel::refreshPresets() {
    const ObservablePresetStore& store = model_.presets();
    const QSignalBlocker blocker(presets_);
    presets_->clear();
    for (const Preset& preset : store.library().presets) {
        presets_->addItem(QString::fromStdString(preset.shownName()), QString::fromStdString(preset.id.text()));
        if (preset.id == store.selectedID()) presets_->setCurrentIndex(presets_->count() - 1);
    }
}

void TrayPanel::refreshRecent() {
    const QList<CompressionItem*>& items = model_.items();
    recentCaption_->setVisible(!items.isEmpty());
    for (int i = 0; i < recentCount; ++i) {
        RecentRow* row = recent_[std::size_t(i)];
        row->setVisible(i < items.size());
        if (i < items.size()) row->setItem(*items[i]);
    }
    if (isVisible()) adjustSize();
}

QPoint TrayPanel::placement(QSize size, const QRect& anchor, const QRect& available) {
    return Popover::placement(size, anchor, available, gap, gap);
}

void TrayPanel::showNear(const QRect& anchor) {
    const QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    adjustSize();
    if (screen != nullptr) move(placement(size(), anchor, screen->availableGeometry()));
    show();
    raise();
    activateWindow();
}

bool TrayPanel::justClosed() const { return sinceClosed_.isValid() && sinceClosed_.elapsed() < closingClickMs; }

void TrayPanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TrayPanel::hideEvent(QHideEvent* event) {
    sinceClosed_.start();
    QWidget::hideEvent(event);
}

void TrayPanel::paintEvent(QPaintEvent*) {
    // The panel has no window frame: a hairline keeps it apart from what lies below.
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace dorvex::app
