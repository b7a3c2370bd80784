#include "views/window/MainWindow.h"

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFrame>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "dorvex/engine/LibraryVersions.h"
#include "model/AppModel.h"
#include "model/ObservablePresetStore.h"
#include "model/UiText.h"
#include "views/DroppedFiles.h"
#include "views/ResultList.h"
#include "views/ThemeIcon.h"
#include "views/window/EmptyDropZone.h"
#include "views/window/EncoderBanner.h"
#include "views/window/NoticeBanner.h"
#include "views/window/OptionBar.h"
#include "views/window/PresetBar.h"
#include "views/window/SummaryBar.h"

namespace dorvex::app {

namespace {

bool carriesFiles(const QMimeData* data) { return !droppedFiles(data).isEmpty(); }

}  // namespace

QList<QUrl> chooseFilesToAdd(QWidget* parent, bool folders) {
    if (folders) {
        const QUrl folder = QFileDialog::getExistingDirectoryUrl(parent, ui("选择文件夹"));
        return folder.isEmpty() ? QList<QUrl>{} : QList<QUrl>{folder};
    }
    const QString filter =
        QStringLiteral("%1 (*.jpg *.jpeg *.jpe *.png *.webp *.avif *.heic *.heif *.jxl *.tif *.tiff *.icns *.mp4 *.m4v "
                       "*.mov *.pdf);;%2 (*)")
            .arg(ui("图片、视频和 PDF"), ui("所有文件"));
    return QFileDialog::getOpenFileUrls(parent, ui("选择文件"), QUrl(), filter);
}

MainWindow::MainWindow(AppModel& model, SettingsStore& settings, ThumbnailCache& thumbnails, FileChooser chooser,
                       DesktopServices services, QWidget* parent)
    : QMainWindow(parent), model_(model), settings_(settings), chooser_(std::move(chooser)) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Dorvex"));
    setMinimumSize(640, 420);
    resize(760, 520);
    restoreWindowGeometry();
    setAcceptDrops(true);

    // The toolbar: choosing files (and, from its menu, folders) and clearing the list.
    auto* toolbar = addToolBar(ui("工具栏"));
    toolbar->setObjectName(QStringLiteral("mainToolbar"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->toggleViewAction()->setEnabled(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolbar->setContextMenuPolicy(Qt::PreventContextMenu);
    auto* choose = new QAction(themeIcon(QStringLiteral("document-open"), QStringLiteral("open.svg")),
                               ui("选择文件…"), this);
    choose->setObjectName(QStringLiteral("chooseFilesAction"));
    choose->setShortcut(QKeySequence::Open);
    connect(choose, &QAction::triggered, this, [this] { chooseFiles(false); });
    auto* chooseFolder = new QAction(ui("选择文件夹…"), this);
    chooseFolder->setObjectName(QStringLiteral("chooseFolderAction"));
    connect(chooseFolder, &QAction::triggered, this, [this] { chooseFiles(true); });
    auto* chooseMenu = new QMenu(this);
    chooseMenu->addAction(choose);
    chooseMenu->addAction(chooseFolder);
    auto* chooseButton = new QToolButton(toolbar);
    chooseButton->setObjectName(QStringLiteral("chooseFilesButton"));
    chooseButton->setDefaultAction(choose);
    chooseButton->setMenu(chooseMenu);
    chooseButton->setPopupMode(QToolButton::MenuButtonPopup);
    chooseButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    chooseButton->setAutoRaise(true);
    toolbar->addWidget(chooseButton);
    auto* spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);
    clear_ = toolbar->addAction(themeIcon(QStringLiteral("edit-clear-all"), QStringLiteral("clear.svg")),
                                ui("清空"));
    clear_->setObjectName(QStringLiteral("clearAction"));
    connect(clear_, &QAction::triggered, &model_, &AppModel::clear);
    addPrimaryMenu(toolbar);

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("mainContent"));
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // The toolchain is fixed for the model's life: the banner is set once.
    auto* banner = new EncoderBanner(central);
    banner->setMissing(model_.missingEncoders());
    layout->addWidget(banner);
    notices_ = new NoticeBanner(central);
    layout->addWidget(notices_);
    connect(&model_, &AppModel::flushFailureChanged, this, [this] {
        if (!model_.flushFailure().isEmpty()) notices_->post(ui("有些文件未能写入磁盘：%1").arg(model_.flushFailure()));
    });
    connect(&model_.presets(), &ObservablePresetStore::saveFailed, this,
            [this](const QString& reason) { notices_->post(ui("预设未能保存：%1").arg(reason)); });
    connect(&model_, &AppModel::foldersUnreadable, this, [this](const QStringList& texts) {
        notices_->post(ui("有些文件夹无法读取：\n%1").arg(texts.join(u'\n')));
    });

    content_ = new QStackedWidget(central);
    dropZone_ = new EmptyDropZone(content_);
    list_ = services.open ? new ResultList(model_, thumbnails, std::move(services), content_)
                          : new ResultList(model_, thumbnails, content_);
    list_->setFrameShape(QFrame::NoFrame);
    connect(list_, &ResultList::compareRequested, this, &MainWindow::compareRequested);
    content_->addWidget(dropZone_);
    content_->addWidget(list_);
    layout->addWidget(content_, 1);

    layout->addWidget(new SummaryBar(model_, central));
    auto* divider = new QFrame(central);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    layout->addWidget(divider);

    auto* bottom = new QWidget(central);
    bottom->setObjectName(QStringLiteral("bottomToolbar"));
    auto* rows = new QVBoxLayout(bottom);
    rows->setContentsMargins(12, 8, 12, 10);
    rows->setSpacing(8);
    rows->addWidget(new PresetBar(model_.presets(), bottom));
    rows->addWidget(new OptionBar(model_, settings, bottom));
    layout->addWidget(bottom);
    setCentralWidget(central);

    connect(&model_, &AppModel::summaryChanged, this, &MainWindow::refresh);
    model_.setWindowOpener([this] {
        showNormal();
        raise();
        activateWindow();
    });
    refresh();
}

MainWindow::~MainWindow() {
    if (isVisible()) saveWindowGeometry();
}

void MainWindow::addPrimaryMenu(QToolBar* toolbar) {
    // Added to the window as well as to the menu, so that their shortcuts work anywhere in it.
    auto* settings = new QAction(ui("设置…"), this);
    settings->setObjectName(QStringLiteral("settingsAction"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, &model_, &AppModel::openSettings);
    auto* about = new QAction(ui("关于 Dorvex"), this);
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);
    auto* quit = new QAction(ui("退出"), this);
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);
    addActions({settings, about, quit});

    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("primaryMenu"));
    menu->addAction(settings);
    menu->addAction(about);
    menu->addSeparator();
    menu->addAction(quit);
    auto* button = new QToolButton(toolbar);
    button->setObjectName(QStringLiteral("primaryMenuButton"));
    button->setIcon(themeIcon(QStringLiteral("open-menu"), QStringLiteral("menu.svg")));
    button->setToolTip(ui("主菜单"));
    button->setMenu(menu);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setAutoRaise(true);
    // No arrow beside the icon: the icon says it is a menu.
    button->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0px; }"));
    toolbar->addWidget(button);
}

void MainWindow::showAbout() {
    QString text = QStringLiteral("<h3>Dorvex %1</h3><p>%2</p><p>Qt %3")
                       .arg(QCoreApplication::applicationVersion().toHtmlEscaped(), ui("压缩图片、视频和 PDF。").toHtmlEscaped(),
                            QString::fromLatin1(qVersion()));
    for (const LibraryVersions::Library& library : LibraryVersions::all()) {
        text += QStringLiteral("<br>") + QString::fromStdString(library.name).toHtmlEscaped() + QLatin1Char(' ') +
                QString::fromStdString(library.version).toHtmlEscaped();
    }
    QMessageBox::about(this, ui("关于 Dorvex"), text + QStringLiteral("</p>"));
}

void MainWindow::saveWindowGeometry() {
    settings_.setValue(geometryKey, QString::fromLatin1(saveGeometry().toBase64()).toStdString());
}

void MainWindow::restoreWindowGeometry() {
    // Qt moves a geometry saved on a screen that is gone back onto the available one.
    const std::optional<std::string> saved = settings_.stringValue(geometryKey);
    if (saved) restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(*saved)));
}

void MainWindow::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) saveWindowGeometry();
    QMainWindow::hideEvent(event);
}

void MainWindow::refresh() {
    const bool empty = model_.items().isEmpty();
    content_->setCurrentWidget(empty ? static_cast<QWidget*>(dropZone_) : list_);
    clear_->setVisible(!empty);
}

void MainWindow::chooseFiles(bool folders) {
    const QList<QUrl> urls = chooser_(this, folders);
    if (!urls.isEmpty()) model_.add(urls, AppModel::Origin::chosen);
}

void MainWindow::setTargeted(bool targeted) { dropZone_->setTargeted(targeted); }

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!carriesFiles(event->mimeData())) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    setTargeted(true);
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (carriesFiles(event->mimeData())) event->acceptProposedAction();
}

void MainWindow::dragLeaveEvent(QDragLeaveEvent* event) {
    setTargeted(false);
    QMainWindow::dragLeaveEvent(event);
}

void MainWindow::dropEvent(QDropEvent* event) {
    setTargeted(false);
    if (!carriesFiles(event->mimeData())) {
        event->ignore();
        return;
    }
    model_.add(droppedFiles(event->mimeData()));
    event->acceptProposedAction();
}

}  // namespace dorvex::app
