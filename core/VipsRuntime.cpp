#include "VipsRuntime.h"

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
    });
}

}  // namespace dorvex::VipsRuntime
