#pragma once
// TiffPages: private to the platform writer. Just enough of the classic TIFF layout to read a few
// tags of a source's pages, and to chain the single-page files that libvips writes into one
// multi-page file, every offset of an appended page relocated.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace dorvex::TiffPages {

using Bytes = std::vector<std::uint8_t>;

// How one page of a source stores its samples, as far as libvips' loader does not tell.
struct PageLayout {
    std::uint32_t bitsPerSample = 8;
    std::uint32_t samplesPerPixel = 1;
    std::optional<std::uint32_t> photometric;
};

// The layouts of the pages of a classic TIFF file, in page order; empty when it is not one.
std::vector<PageLayout> readPageLayouts(const std::filesystem::path& file);

// Appends a whole TIFF file written on its own (`page`, same byte order) to `file`, chaining its
// IFDs after the last IFD of `file`. False when the two cannot be joined.
bool append(Bytes& file, const Bytes& page);

}  // namespace dorvex::TiffPages
