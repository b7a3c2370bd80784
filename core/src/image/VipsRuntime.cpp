#include "dorvex/image/VipsRuntime.h"

#include <vips/vips.h>

#include <mutex>
#include <stdexcept>

namespace dorvex::VipsRuntime {

void start() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (VIPS_INIT("dorvex") != 0) throw std::runtime_error("cannot start libvips");
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
