#include "shell/AppShell.h"

#include <QApplication>
#include <QMetaObject>
#include <QFileInfo>
#include <QSystemTrayIcon>
#include <QUrl>

#include <algorithm>
#include <chrono>

#include "dorvex/engine/Compressor.h"
#include "dorvex/image/Toolchain.h"
#include "dorvex/library/SettingsDefaults.h"
#include "dorvex/platform/AppPaths.h"
#include "dorvex/platform/Processors.h"
#include "model/AppModel.h"
#include "model/UiText.h"
#include "model/ObservablePresetStore.h"
#include "shell/BatchNotifier.h"
#include "shell/SettingsWindow.h"
#include "shell/TrayIcon.h"
#include "shell/TrayPanel.h"
#include "views/CompareWindow.h"
#include "views/ResultList.h"
#include "views/ResultRowDelegate.h"
#include "views/ThumbnailCache.h"
#include "views/window/MainWindow.h"

namespace dorvex::app {

namespace {

// Thumbnails sharp on a screen of device pixel ratio 2.
constexpr int thumbnailMaxSide = 2 * ResultRowDelegate::thumbnailSide;

void bringUp(QWidget& window) {
    if (window.isMinimized()) window.showNormal();
    window.show();
    window.raise();
    window.activateWindow();
}

}  // namespace

AppShell::Folders AppShell::Folders::standard() { return {AppPaths::settingsFolder(), AppPaths::presetsFile()}; }

AppShell::AppShell(const Folders& folders, QObject* parent) : QObject(parent), settings_(folders.settings) {
    SettingsKeys::registerDefaults(settings_);
    presets_ = std::make_unique<ObservablePresetStore>(folders.presetsFile, settings_);
    model_ = std::make_unique<AppModel>(*presets_, Toolchain::locate(), int(Processors::usable()));
    thumbnails_ = std::make_unique<ThumbnailCache>(thumbnailMaxSide);

    mainWindow_ = std::make_unique<MainWindow>(*model_, settings_, *thumbnails_);
    compareWindow_ = std::make_unique<CompareWindow>(*model_);
    compareWindow_->setWindowTitle(ui("对比"));
    compareWindow_->resize(960, 720);
    settingsWindow_ = std::make_unique<SettingsWindow>(settings_, model_->toolchain());
    connect(mainWindow_.get(), &MainWindow::compareRequested, this, &AppShell::showCompareWindow);
    connect(mainWindow_.get(), &MainWindow::quitRequested, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    model_->setWindowOpener([this] { showMainWindow(); });
    model_->setSettingsOpener([this] { showSettingsWindow(); });
    batchNotifier_ = std::make_unique<BatchNotifier>(*model_, std::make_unique<DesktopNotifier>(),
                                                     [this] { showMainWindow(); });

    // The shell decides about quitting (lastWindowClosed), and the engine stops before the model goes.
    QApplication::setQuitOnLastWindowClosed(false);
    connect(qApp, &QGuiApplication::lastWindowClosed, this, &AppShell::lastWindowClosed);
    connect(qApp, &QCoreApplication::aboutToQuit, model_.get(), &AppModel::shutdown);

    // The tray icon follows its setting at once, whoever changes it. Observers run on the thread
    // that made the change: the hop keeps the icon on the main thread.
    applyTraySetting();
    settingsSubscription_ = settings_.observe([this](const SettingsStore::Change& change) {
        if (change.domain != applicationSettingsDomain ||
            std::find(change.keys.begin(), change.keys.end(), SettingsKeys::showMenuBarIcon) == change.keys.end()) {
            return;
        }
        QMetaObject::invokeMethod(this, &AppShell::applyTraySetting, Qt::QueuedConnection);
    });
}

AppShell::~AppShell() {
    settingsSubscription_.cancel();
    batchNotifier_.reset();
    trayIcon_.reset();
    settingsWindow_.reset();
    compareWindow_.reset();
    mainWindow_.reset();
    model_->shutdown();
}

bool AppShell::quitsWhenLastWindowCloses(bool showTrayIcon, bool keepRunning, bool trayAvailable) {
    return !(showTrayIcon && keepRunning && trayAvailable);
}

void AppShell::showMainWindow() { bringUp(*mainWindow_); }
void AppShell::showCompareWindow() { bringUp(*compareWindow_); }
void AppShell::showSettingsWindow() { bringUp(*settingsWindow_); }

void AppShell::openItem(CompressionItem* item) {
    const ItemListModel* list = model_->itemList();
    const int row = list->row(item);
    if (row >= 0) mainWindow_->resultList()->trigger(RowAction::Kind::open, list->index(row));
}

void AppShell::open(const QStringList& files) {
    QList<QUrl> urls;
    for (const QString& file : files) urls << QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath());
    if (!urls.isEmpty()) model_->add(urls);
    showMainWindow();
}

bool AppShell::shutDown() {
    model_->shutdown();  // done already when the event loop ended (aboutToQuit)
    // The model waited for the engine within its bound; a call with no time of its own tells
    // whether anything is still running (and joins what ended meanwhile).
    return Compressor::shutdown(std::chrono::milliseconds(0)).stopped;
}

void AppShell::applyTraySetting() {
    const bool show = settings_.boolValue(SettingsKeys::showMenuBarIcon).value_or(true);
    if (show && !trayIcon_) {
        trayIcon_ = std::make_unique<TrayIcon>(*model_);
        connect(trayIcon_.get(), &TrayIcon::quitRequested, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        connect(trayIcon_->panel(), &TrayPanel::openRequested, this, &AppShell::openItem);
    } else if (!show && trayIcon_) {
        trayIcon_.reset();
        // The icon was the way back to a hidden application: without it, the main window shows.
        if (!anyWindowShown()) showMainWindow();
    }
}

void AppShell::lastWindowClosed() {
    const bool showTrayIcon = settings_.boolValue(SettingsKeys::showMenuBarIcon).value_or(true);
    const bool keepRunning = settings_.boolValue(SettingsKeys::keepRunningInMenuBar).value_or(true);
    if (quitsWhenLastWindowCloses(showTrayIcon, keepRunning, QSystemTrayIcon::isSystemTrayAvailable())) {
        QCoreApplication::quit();
    }
}

}  // namespace dorvex::app
