#pragma once
// AppPaths: where the application keeps its data and settings, after the XDG base-directory
// rules. The command line and the desktop application both ask here, so they always share one
// presets file and one settings folder. Environment variables are read on every call.

#include <filesystem>

namespace dorvex::AppPaths {

// $HOME, else the home folder of the user's account.
std::filesystem::path homeFolder();
// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::filesystem::path dataHome();
// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::filesystem::path configHome();

// <data home>/Dorvex/presets.json
std::filesystem::path presetsFile();
// <data home>/Tavelin/presets.json: the earlier product's presets, copied over once.
std::filesystem::path legacyPresetsFile();
// The folder that holds one "<domain>.json" per settings domain: the config home.
std::filesystem::path settingsFolder();

}  // namespace dorvex::AppPaths
