#include "views/CompareWindow.h"

#include <QAction>
#include <QIcon>
#include <QLabel>
#include <QStackedWidget>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include <variant>

#include "dorvex/text/Format.h"
#include "model/AppModel.h"
#include "model/CompressionItem.h"
#include "model/UiText.h"
#include "views/CompareInfoBar.h"
#include "views/CompareSplitView.h"
#include "views/CompareZoom.h"
#include "views/RowActions.h"
#include "views/ThemeIcon.h"

namespace dorvex::app {

namespace {

// Pictures are loaded whole up to this many pixels on the longer side (a 50 MP photo fits).
constexpr int pictureMaxSide = 16384;

QString text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

CompareState compareState(const CompressionItem* item) {
    const CompressionResult* result = item != nullptr ? item->result() : nullptr;
    if (result == nullptr || !result->output) return CompareState::nothingToCompare;
    std::error_code error;
    if (*result->output == item->source() || !std::filesystem::exists(item->source(), error))
        return CompareState::sourceGone;
    return CompareState::pane;
}

CompareWindow::CompareWindow(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), pages_(new QStackedWidget(this)), emptyIcon_(new QLabel),
      emptyTitle_(new QLabel), emptyDescription_(new QLabel), toolbar_(new QToolBar), view_(new CompareSplitView),
      zoomLevel_(new QLabel), info_(new CompareInfoBar) {
    reveal_ = DesktopServices::system(this).reveal;
    setObjectName(QStringLiteral("compareWindow"));
    setWindowTitle(ui("对比"));
    resize(960, 720);

    auto* empty = new QWidget;
    empty->setObjectName(QStringLiteral("compareEmptyState"));
    emptyTitle_->setObjectName(QStringLiteral("compareEmptyTitle"));
    emptyDescription_->setObjectName(QStringLiteral("compareEmptyDescription"));
    QFont titleFont = emptyTitle_->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    titleFont.setBold(true);
    emptyTitle_->setFont(titleFont);
    QPalette secondary = emptyDescription_->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
    emptyDescription_->setPalette(secondary);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->addStretch();
    for (QLabel* label : {emptyIcon_, emptyTitle_, emptyDescription_}) {
        label->setAlignment(Qt::AlignCenter);
        emptyLayout->addWidget(label);
    }
    emptyLayout->addStretch();

    auto* pane = new QWidget;
    pane->setObjectName(QStringLiteral("comparePane"));
    toolbar_->setObjectName(QStringLiteral("compareToolbar"));
    view_->setObjectName(QStringLiteral("compareSplitView"));
    // Room for the toolbar and both captions; the information bar asks for more when it needs it.
    view_->setMinimumSize(480, 240);
    info_->setObjectName(QStringLiteral("compareInfoBar"));
    // Every zoom key works with Ctrl and without it, as in image viewers.
    auto addAction = [this](const char* name, const QIcon& icon, const QString& label, QList<QKeySequence> keys,
                            auto slot) {
        QAction* action = toolbar_->addAction(icon, label, this, slot);
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcuts(keys);
        action->setToolTip(toolTipWithKey(label, keys.value(0)));
        return action;
    };
    const auto keys = [](std::initializer_list<QKeyCombination> combinations) {
        return QList<QKeySequence>(combinations.begin(), combinations.end());
    };
    addAction("compareFit", themeIcon(QStringLiteral("zoom-fit-best")), ui("适应窗口"),
              keys({Qt::CTRL | Qt::Key_0, Qt::Key_0}), [this] { view_->setZoomToFit(); });
    addAction("compareActualSize", themeIcon(QStringLiteral("zoom-original")), QStringLiteral("100%"),
              keys({Qt::CTRL | Qt::Key_1, Qt::Key_1}), [this] { view_->setZoomToActualSize(); });
    addAction("compareZoomOut", themeIcon(QStringLiteral("zoom-out")), ui("缩小"),
              keys({Qt::CTRL | Qt::Key_Minus, Qt::Key_Minus}), [this] { view_->zoomBy(CompareZoom::zoomOutFactor); });
    zoomLevel_->setObjectName(QStringLiteral("compareZoomLevel"));
    zoomLevel_->setAlignment(Qt::AlignCenter);
    zoomLevel_->setMinimumWidth(zoomLevel_->fontMetrics().horizontalAdvance(QStringLiteral("8888 %")));
    zoomLevel_->setToolTip(ui("缩放比例"));
    toolbar_->addWidget(zoomLevel_);  // between the two steps, as image viewers have it
    connect(view_, &CompareImageView::zoomChanged, this, &CompareWindow::showZoom);
    addAction("compareZoomIn", themeIcon(QStringLiteral("zoom-in")), ui("放大"),
              keys({Qt::CTRL | Qt::Key_Equal, Qt::CTRL | Qt::Key_Plus, Qt::Key_Equal, Qt::Key_Plus}),
              [this] { view_->zoomBy(CompareZoom::zoomInFactor); });
    toolbar_->addSeparator();
    QAction* reveal = addAction("compareReveal", themeIcon(QStringLiteral("folder-open"), QStringLiteral("folder.svg")),
                                ui("在文件管理器中显示"), {}, [this] {
        if (!output_.empty()) reveal_(QUrl::fromLocalFile(QString::fromStdString(output_.string())));
    });
    reveal->setToolTip(ui("在文件管理器中显示"));
    // Closing belongs to the window, so that it works in the empty state too.
    auto* close = new QAction(ui("关闭"), this);
    close->setObjectName(QStringLiteral("compareClose"));
    close->setShortcuts(keys({Qt::CTRL | Qt::Key_W, Qt::Key_Escape}));
    connect(close, &QAction::triggered, this, &QWidget::close);
    QWidget::addAction(close);
    toolbar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    auto* paneLayout = new QVBoxLayout(pane);
    paneLayout->setContentsMargins(0, 0, 0, 0);
    paneLayout->setSpacing(0);
    paneLayout->addWidget(toolbar_);
    paneLayout->addWidget(view_, 1);
    paneLayout->addWidget(info_);

    pages_->addWidget(empty);
    pages_->addWidget(pane);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(pages_);

    connect(&model_, &AppModel::compareItemIDChanged, this, &CompareWindow::refresh);
    const QAbstractItemModel* list = model_.itemList();
    connect(list, &QAbstractItemModel::dataChanged, this, &CompareWindow::listChanged);
    connect(list, &QAbstractItemModel::rowsRemoved, this, &CompareWindow::refresh);
    connect(list, &QAbstractItemModel::modelReset, this, &CompareWindow::refresh);
    refresh();
}

static CompressionItem* findItem(AppModel& model) {
    if (!model.compareItemID()) return nullptr;
    for (CompressionItem* item : model.items())
        if (item->id() == *model.compareItemID()) return item;
    return nullptr;
}

void CompareWindow::refresh() {
    CompressionItem* item = findItem(model_);
    switch (compareState(item)) {
    case CompareState::nothingToCompare:
        return showEmpty("image-x-generic", "photo.svg", ui("没有可对比的图片"),
                         ui("在主窗口双击一张已完成的图片"));
    case CompareState::sourceGone:
        return showEmpty("user-trash", "trash.svg", ui("原图已移入回收站"),
                         ui("覆盖模式下没有原图可以对比"));
    case CompareState::pane: break;
    }
    const CompressionResult& result = *item->result();
    output_ = *result.output;
    setWindowTitle(QString::fromStdString(item->source().filename().string()));
    pages_->setCurrentIndex(1);
    const QString outputBytes = text(Format::bytes(result.outputBytes));
    const QString right = result.quality ? ui("压缩后 · %1 · q%2").arg(outputBytes).arg(*result.quality)
                                         : ui("压缩后 · %1").arg(outputBytes);
    view_->setCaptions(ui("原图 · %1").arg(text(Format::bytes(result.sourceBytes))), right);
    info_->setResult(result);
    const QString content = fileContentKey(output_);
    if (shownOutput_ == output_ && shownContent_ == content) return;
    if (shownOutput_ != output_) {
        // A new comparison starts fresh: split and scale.
        view_->setSplit(0.5);
        view_->setZoomToFit();
    }
    shownOutput_ = output_;
    shownContent_ = content;
    loads_.dropAll();
    source_ = {};
    outputPicture_ = {};
    view_->setPictures({}, {});
    view_->setImageSize(result.sourcePixelSize);
    view_->setFocus();  // arrow keys and Page Up / Page Down scroll the picture
    load(item->source(), true);
    load(output_, false);
}

void CompareWindow::showZoom() {
    zoomLevel_->setText(CompareZoom::percentText(view_->zoom(), view_->devicePixelRatioOfScreen()));
}

void CompareWindow::listChanged(const QModelIndex& first, const QModelIndex& last) {
    const CompressionItem* item = findItem(model_);
    for (int row = first.row(); item != nullptr && row <= last.row(); ++row) {
        if (first.siblingAtRow(row).data(ItemListModel::ItemRole).value<QObject*>() == item) return refresh();
    }
}

void CompareWindow::showEmpty(const QString& iconName, const QString& fallbackFile, const QString& title,
                              const QString& description) {
    loads_.dropAll();
    output_.clear();
    shownOutput_.clear();
    shownContent_.clear();
    setWindowTitle(ui("对比"));
    const QIcon icon = themeIcon(iconName, fallbackFile);
    emptyIcon_->setPixmap(icon.pixmap(64, 64));
    emptyTitle_->setText(title);
    emptyDescription_->setText(description);
    pages_->setCurrentIndex(0);
}

void CompareWindow::load(const std::filesystem::path& file, bool isSource) {
    // Ahead of the rows' thumbnails: the user is looking at this one.
    loads_.load(
        file, pictureMaxSide, [this, isSource](const QImage& picture) { pictureArrived(isSource, picture); }, 1);
}

void CompareWindow::pictureArrived(bool isSource, const QImage& picture) {
    if (picture.isNull()) return;
    (isSource ? source_ : outputPicture_) = picture;
    if (view_->imageSize().width <= 0 && isSource) view_->setImageSize({picture.width(), picture.height()});
    view_->setPictures(source_, outputPicture_);
}

}  // namespace dorvex::app
