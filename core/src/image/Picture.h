#pragma once
// Picture: a decoded image in memory — 8-bit RGB with an alpha channel (straight, not
// premultiplied), upright; sRGB unless its holder says otherwise (SourceImage::colourProfile). Cheap to copy (shared, immutable pixels). The pixels are held by
// libvips; only the engine's own sources reach them, through VipsPicture.h.

#include <memory>

#include "dorvex/model/PixelSize.h"

namespace dorvex {

class Picture {
public:
    struct Storage;  // defined in VipsPicture.h

    Picture() = default;
    explicit Picture(std::shared_ptr<const Storage> storage) : storage_(std::move(storage)) {}

    bool isNull() const { return storage_ == nullptr; }
    PixelSize size() const;
    const Storage& storage() const { return *storage_; }

private:
    std::shared_ptr<const Storage> storage_;
};

}  // namespace dorvex
