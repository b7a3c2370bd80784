#pragma once
// VideoModule: the engine's FFmpeg code lives in a module of its own (dorvex-video.so in the
// resource folder), loaded on the first video job, so that programs that never touch a video do
// not load FFmpeg's libraries (dozens, and tens of milliseconds of every start). This is the
// table the module hands over and the engine's way to it; the module is never unloaded.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "dorvex/image/Thumbnail.h"
#include "video/VideoEncoder.h"
#include "video/VideoSource.h"

namespace dorvex::VideoModule {

// FFmpeg as loaded: its version ("5.1.4-0+deb12u1 (libavcodec 59.37.100)") and the encoders we
// use that it has.
struct Library {
    std::string version;
    std::vector<std::string> encoders;
    bool operator==(const Library&) const = default;
};

// What the module exports under `entryName`. `layout` guards against a module of another build:
// it must equal `layoutOf()` as compiled into the engine.
struct Entry {
    std::uint64_t layout;
    VideoSource (*load)(const std::filesystem::path& file);  // throws VideoError
    std::int64_t (*encode)(const VideoSource& source, const VideoEncodeSettings& settings,
                           const std::filesystem::path& output, double stallTimeoutSeconds,
                           double watchdogIntervalSeconds, const VideoEncoder::ProgressHandler& progress,
                           const VideoEncoder::CancelQuery& isCancelled);  // throws VideoError
    std::optional<Thumbnail> (*thumbnail)(const std::filesystem::path& file, int maxSide);  // never throws
    Library (*library)();
    void (*followTranslation)();  // the module's texts in the language the program chose
};

inline constexpr const char* entryName = "dorvex_video_module";
inline constexpr const char* fileName = "dorvex-video.so";

// A fingerprint of the types that cross between engine and module.
constexpr std::uint64_t layoutOf() {
    return (std::uint64_t(1) << 56) ^ (std::uint64_t(sizeof(Entry)) << 40) ^
           (std::uint64_t(sizeof(VideoSource)) << 24) ^ (std::uint64_t(sizeof(VideoEncodeSettings)) << 8) ^
           std::uint64_t(sizeof(Thumbnail));
}

// The module's entry, loaded (once, thread-safe) from the resource folder on the first call.
// Throws VideoError::unavailable naming the reason when it cannot be loaded.
const Entry& entry();

// The first video frame through the module; nullopt also when the module cannot be loaded.
std::optional<Thumbnail> thumbnail(const std::filesystem::path& file, int maxSide);

// FFmpeg's version through the module; nullopt with the reason in `error` when it cannot be loaded.
std::optional<Library> library(std::string& error);

}  // namespace dorvex::VideoModule
