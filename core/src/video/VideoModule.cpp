#include "video/VideoModule.h"

#include <dlfcn.h>

#include <mutex>

#include "dorvex/image/Toolchain.h"
#include "dorvex/text/Translation.h"

namespace dorvex {

namespace {

struct Loaded {
    const VideoModule::Entry* entry = nullptr;
    std::string error;  // why there is no entry
};

// dlopen once; the handle is kept for the process's life (threads the module started are joined
// before its functions return, but its code may still be on some stack at exit).
Loaded load() {
    const std::optional<std::filesystem::path> folder = resourceFolder();
    if (!folder) return {nullptr, i18n("找不到程序的资源文件夹")};
    const std::filesystem::path file = *folder / VideoModule::fileName;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        return {nullptr, i18nf("视频组件无法加载：{}", reason ? std::string(reason) : file.string())};
    }
    using EntryFunction = const VideoModule::Entry* (*)();
    auto function = reinterpret_cast<EntryFunction>(dlsym(handle, VideoModule::entryName));
    const VideoModule::Entry* entry = function ? function() : nullptr;
    if (!entry || entry->layout != VideoModule::layoutOf()) {
        return {nullptr, i18nf("视频组件与程序版本不符：{}", file.string())};
    }
    if (Translation::isOn()) entry->followTranslation();
    return {entry, {}};
}

const Loaded& loaded() {
    static const Loaded module = load();
    return module;
}

}  // namespace

const VideoModule::Entry& VideoModule::entry() {
    const Loaded& module = loaded();
    if (!module.entry) throw VideoError::unavailable(module.error);
    return *module.entry;
}

std::optional<Thumbnail> VideoModule::thumbnail(const std::filesystem::path& file, int maxSide) {
    const Loaded& module = loaded();
    return module.entry ? module.entry->thumbnail(file, maxSide) : std::nullopt;
}

std::optional<VideoModule::Library> VideoModule::library(std::string& error) {
    const Loaded& module = loaded();
    if (!module.entry) {
        error = module.error;
        return std::nullopt;
    }
    return module.entry->library();
}

VideoSource VideoSource::load(const std::filesystem::path& file) { return VideoModule::entry().load(file); }

std::int64_t VideoEncoder::encode(const VideoSource& source, const VideoEncodeSettings& settings,
                                  const std::filesystem::path& output, double stallTimeoutSeconds,
                                  double watchdogIntervalSeconds, const ProgressHandler& progress,
                                  const CancelQuery& isCancelled) {
    return VideoModule::entry().encode(source, settings, output, stallTimeoutSeconds, watchdogIntervalSeconds,
                                       progress, isCancelled);
}

}  // namespace dorvex
