#include "dorvex/image/Picture.h"

#include "image/VipsPicture.h"

namespace dorvex {

PixelSize Picture::size() const {
    if (!storage_) return {};
    return {storage_->image.width(), storage_->image.height()};
}

}  // namespace dorvex
