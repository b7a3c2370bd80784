// The TIFF page merger on hostile pages. The input is a four-byte little-endian length, that many
// bytes of a TIFF file, and then the bytes of one more page to append to it. Appending either
// joins the two into a file that is still a TIFF, or refuses and leaves the file as it was; neither
// it nor reading the page layouts of any bytes reads or writes out of bounds.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "image/encoders/TiffPages.h"

using namespace dorvex;

namespace {

// The page layouts that readPageLayouts finds in these bytes, read from an anonymous file.
std::vector<TiffPages::PageLayout> layoutsOf(const TiffPages::Bytes& bytes) {
    const int fd = memfd_create("tiff", MFD_CLOEXEC);
    fuzz::check(fd >= 0, "an anonymous file can be made");
    fuzz::check(bytes.empty() || write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()),
                "the anonymous file takes the bytes");
    std::vector<TiffPages::PageLayout> layouts = TiffPages::readPageLayouts("/proc/self/fd/" + std::to_string(fd));
    close(fd);
    return layouts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t declared = data[0] | (data[1] << 8) | (data[2] << 16) | (std::size_t(data[3]) << 24);
    const std::size_t split = 4 + std::min(declared, size - 4);
    const TiffPages::Bytes original(data + 4, data + split);
    const TiffPages::Bytes page(data + split, data + size);

    (void)layoutsOf(page);
    TiffPages::Bytes file = original;
    if (TiffPages::append(file, page)) {
        // Hostile files whose IFDs overlap one another may lose pages; the header and the first
        // IFD stay whole.
        fuzz::check(!layoutsOf(file).empty(), "a merged file is a TIFF with pages");
    } else {
        fuzz::check(file == original, "a refused page leaves the file as it was");
    }
    return 0;
}
