#pragma once
// AppShell: the application's outer shell. It builds everything once, in this order: the settings
// (the earlier product's preferences carried over, the defaults registered), the preset store, the
// encoders (the application's own bin folder first), the one app model; then the windows that
// share it — main, compare and settings — and the tray icon, which exists exactly while the
// setting "showMenuBarIcon" is on; and the notice at the end of the work while no window shows.
// It decides whether closing the last window quits.

#include <QObject>
#include <QStringList>

#include <filesystem>
#include <memory>

#include "dorvex/library/SettingsStore.h"

namespace dorvex::app {

class AppModel;
class BatchNotifier;
class CompareWindow;
class CompressionItem;
class MainWindow;
class ObservablePresetStore;
class SettingsWindow;
class ThumbnailCache;
class TrayIcon;

class AppShell : public QObject {
    Q_OBJECT

public:
    // Where the shell keeps its files; the user's XDG folders unless a test says otherwise.
    struct Folders {
        std::filesystem::path settings;
        std::filesystem::path presetsFile;
        bool operator==(const Folders&) const = default;
        static Folders standard();
    };

    explicit AppShell(const Folders& folders = Folders::standard(), QObject* parent = nullptr);
    ~AppShell() override;

    // Whether closing the last window ends the application: it keeps running only in the tray,
    // and only when there is a tray to show its icon in.
    static bool quitsWhenLastWindowCloses(bool showTrayIcon, bool keepRunning, bool trayAvailable);

    SettingsStore& settings() { return settings_; }
    ObservablePresetStore& presets() { return *presets_; }
    AppModel& model() { return *model_; }
    MainWindow& mainWindow() { return *mainWindow_; }
    CompareWindow& compareWindow() { return *compareWindow_; }
    SettingsWindow& settingsWindow() { return *settingsWindow_; }
    // Null while the setting is off.
    TrayIcon* trayIcon() const { return trayIcon_.get(); }

    void showMainWindow();
    void showCompareWindow();
    void showSettingsWindow();
    // A listed item opened from elsewhere than the list (the tray panel), as the list opens it:
    // an image in the compare window, a video or PDF in the desktop's application.
    void openItem(CompressionItem* item);
    // Files handed over on the command line or by a later start: added, and the main window shown.
    // No files: the main window is shown (a click on the launcher).
    void open(const QStringList& files);
    // The quit path, after the event loop: the model's jobs are cancelled and the engine stopped
    // within its bound. False when some work did not stop in time: a job may still be inside a
    // library call, so the process must end without running static destructors.
    bool shutDown();

private:
    void applyTraySetting();
    void lastWindowClosed();

    SettingsStore settings_;
    std::unique_ptr<ObservablePresetStore> presets_;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<ThumbnailCache> thumbnails_;
    std::unique_ptr<MainWindow> mainWindow_;
    std::unique_ptr<CompareWindow> compareWindow_;
    std::unique_ptr<SettingsWindow> settingsWindow_;
    std::unique_ptr<TrayIcon> trayIcon_;
    std::unique_ptr<BatchNotifier> batchNotifier_;
    SettingsStore::Subscription settingsSubscription_;
};

}  // namespace dorvex::app
