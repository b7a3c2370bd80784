#include "model/ObservablePresetStore.h"

#include <QDebug>

#include <string_view>

namespace dorvex::app {

ObservablePresetStore::ObservablePresetStore(std::filesystem::path file, SettingsStore& settings, QObject* parent)
    : QObject(parent),
      settings_(settings),
      store_(std::move(file), settings, [this](const std::string& line) {
          qWarning().noquote() << QString::fromStdString(line);
          constexpr std::string_view saveFailure = "Dorvex: 保存预设失败 ";
          if (line.starts_with(saveFailure)) emit saveFailed(QString::fromStdString(line.substr(saveFailure.size())));
      }) {}

CompressionOptions ObservablePresetStore::jobOptions() const {
    CompressionOptions options = store_.options();
    options.perceptualScore = settings_.boolValue(SettingsKeys::perceptualScore).value_or(true);
    return options;
}

template <typename Operation>
auto ObservablePresetStore::change(Operation&& operation) {
    const PresetLibrary library = store_.library();
    const Uuid selectedID = store_.selectedID();
    const CompressionOptions options = store_.options();
    const bool modified = store_.isModified();
    const auto announce = [&] {
        if (store_.library() != library) emit libraryChanged();
        if (store_.selectedID() != selectedID) emit selectedIDChanged();
        if (store_.options() != options) emit optionsChanged();
        if (store_.isModified() != modified) emit modifiedChanged();
    };
    if constexpr (std::is_void_v<decltype(operation())>) {
        operation();
        announce();
    } else {
        const auto outcome = operation();
        announce();
        return outcome;
    }
}

void ObservablePresetStore::setOptions(const CompressionOptions& options) {
    change([&] { store_.setOptions(options); });
}

bool ObservablePresetStore::select(const Uuid& id) {
    return change([&] { return store_.select(id); });
}

void ObservablePresetStore::saveCurrentAsNew(std::string_view name) {
    change([&] { store_.saveCurrentAsNew(name); });
}

bool ObservablePresetStore::rename(const Uuid& id, std::string_view name) {
    return change([&] { return store_.rename(id, name); });
}

void ObservablePresetStore::updateSelectedToCurrent() {
    change([&] { store_.updateSelectedToCurrent(); });
}

bool ObservablePresetStore::remove(const Uuid& id) {
    return change([&] { return store_.remove(id); });
}

}  // namespace dorvex::app
