#include "image/VipsRuntime.h"

#include <dlfcn.h>
#include <gmodule.h>
#include <libheif/heif.h>
#include <vips/vips.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>

namespace dorvex::VipsRuntime {

namespace {

// The loaders the engine reads with (SourceImage, OutputCheck) that libvips may build as
// modules rather than into itself, with the module file that registers each.
struct NeededModule {
    const char* loader;
    const char* file;
};

constexpr std::array<NeededModule, 2> neededModules{{
    {"heifload_source", "vips-heif.so"},
    {"jxlload_source", "vips-jxl.so"},
}};

// Where libvips keeps its modules: beside the libvips that is loaded, in a folder named after its
// version (as libvips itself looks for them).
std::filesystem::path moduleFolder() {
    Dl_info info{};
    void* const symbol = ::dlsym(RTLD_DEFAULT, "vips_init");
    if (symbol == nullptr || ::dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
    return std::filesystem::path(info.dli_fname).parent_path() /
           ("vips-modules-" + std::to_string(vips_version(0)) + "." + std::to_string(vips_version(1)));
}

// Loads the modules of the loaders we need that are not registered yet. A module that is missing
// or does not load leaves its format unreadable, as with a libvips built without it.
void loadNeededModules() {
    std::filesystem::path folder;
    for (const NeededModule& module : neededModules) {
        if (vips_type_find("VipsForeignLoad", module.loader) != 0) continue;
        if (folder.empty()) folder = moduleFolder();
        if (folder.empty()) return;
        if (GModule* const loaded = g_module_open((folder / module.file).c_str(), G_MODULE_BIND_LAZY)) {
            g_module_make_resident(loaded);
        }
    }
}

// libvips' HEIF loader reads with libheif but does not start it. libheif registers its decoders
// as it is loaded and drops them when its start count falls back to zero, so any balanced
// heif_init / heif_deinit elsewhere in the process (the library versions the settings window and
// `dorvex --version` list) would leave every AVIF and HEIC undecodable from then on ("Unsupported
// codec"). One start held for the whole process keeps the count above zero; it is never ended.
void holdHeifDecoders() {
    static_cast<void>(heif_init(nullptr));
}

// libvips loads every module of its module folder as it starts. Debian's include ImageMagick's,
// poppler's and OpenSlide's loaders, which bring dozens of libraries and their set-up into each
// process for formats the engine refuses anyway; they made up about a third of the CPU time of
// starting libvips. libvips finds that folder through its prefix, which VIPSHOME overrides, so
// libvips is started here, while the program is being loaded, with VIPSHOME pointing where no
// folder can be ("/dev/null" is no directory), and start() then loads the modules we read with.
// At this point no other thread can be reading the environment (setenv is not safe against
// readers on other threads), and the variable is gone again before main() and before any child
// process could inherit it. A VIPSHOME of the user's own is left to libvips to follow.
[[maybe_unused]] const bool startedWithProgram = [] {
    const bool holdBack = std::getenv("VIPSHOME") == nullptr && ::setenv("VIPSHOME", "/dev/null", 0) == 0;
    bool started = true;
    try {
        start();
    } catch (const std::exception&) {
        started = false;  // start() fails again, with its reason, where libvips is used
    }
    if (holdBack) ::unsetenv("VIPSHOME");
    return started;
}();

}  // namespace

void start() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (VIPS_INIT("dorvex") != 0) throw std::runtime_error("cannot start libvips");
        loadNeededModules();
        holdHeifDecoders();
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
        vips_cache_set_max_files(0);
        // libvips reports damaged input on standard error as well as in its error buffer; the
        // engine says what went wrong in the job's result and prints nothing itself.
        g_log_set_handler("VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
                          [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    });
}

}  // namespace dorvex::VipsRuntime
