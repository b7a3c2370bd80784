#pragma once
// VipsBlob: private to the engine's sources that hand libvips encoded bytes or take them back.
// One owner for a libvips blob (released with its area's reference), a blob made from a copy of
// our bytes for the *_buffer loaders, and the bytes a *_buffer saver returned.

#include <vips/vips8>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace dorvex {

struct VipsBlobRelease {
    void operator()(VipsBlob* blob) const { vips_area_unref(reinterpret_cast<VipsArea*>(blob)); }
};

using VipsBlobPtr = std::unique_ptr<VipsBlob, VipsBlobRelease>;

// A blob holding its own copy of `bytes`; the loaders read from it while it lives.
inline VipsBlobPtr blobCopy(std::span<const std::uint8_t> bytes) {
    return VipsBlobPtr(vips_blob_copy(bytes.data(), bytes.size()));
}

// The bytes of a blob that a saver returned; the blob itself is released. `Bytes` is any
// container built from a range of bytes (std::vector<std::uint8_t>, std::string).
template <class Bytes = std::vector<std::uint8_t>>
Bytes blobBytes(VipsBlob* blob) {
    const VipsBlobPtr owned(blob);
    std::size_t length = 0;
    const auto* data = static_cast<const std::uint8_t*>(vips_blob_get(owned.get(), &length));
    return Bytes(data, data + length);
}

}  // namespace dorvex
