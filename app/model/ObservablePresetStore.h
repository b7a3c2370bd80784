#pragma once
// ObservablePresetStore: the preset store as the views see it — the same rules and file as the
// command line's (dorvex/library/PresetStore.h), with a change signal per property that fires
// only when the value changed. Main thread only; the store's log lines go to Qt's log.

#include <QObject>

#include <filesystem>
#include <string_view>

#include "dorvex/library/PresetStore.h"

namespace dorvex::app {

class ObservablePresetStore : public QObject {
    Q_OBJECT

public:
    ObservablePresetStore(std::filesystem::path file, SettingsStore& settings, QObject* parent = nullptr);

    const PresetStore& store() const { return store_; }
    const PresetLibrary& library() const { return store_.library(); }
    const Uuid& selectedID() const { return store_.selectedID(); }
    const Preset& selected() const { return store_.selected(); }
    const CompressionOptions& options() const { return store_.options(); }
    // The current options as a new job gets them: with the application's settings that hold for
    // every job applied (SettingsKeys::perceptualScore, on unless stored off).
    CompressionOptions jobOptions() const;
    // The selected pill's dot: the current options differ from the selected preset's.
    bool isModified() const { return store_.isModified(); }

    void setOptions(const CompressionOptions& options);
    // As the store's operations of the same names.
    bool select(const Uuid& id);
    void saveCurrentAsNew(std::string_view name);
    bool rename(const Uuid& id, std::string_view name);
    void updateSelectedToCurrent();
    bool remove(const Uuid& id);

signals:
    void libraryChanged();
    void selectedIDChanged();
    void optionsChanged();
    void modifiedChanged();
    // Saving the library failed (the in-memory library stands); `reason` is the error's text.
    void saveFailed(const QString& reason);

private:
    // Runs one operation of the store and announces what it changed.
    template <typename Operation>
    auto change(Operation&& operation);

    SettingsStore& settings_;
    PresetStore store_;
};

}  // namespace dorvex::app
