#include "views/ThumbnailCache.h"

#include "dorvex/engine/ThumbnailLoader.h"

namespace dorvex::app {

ThumbnailCache::ThumbnailCache(int maxSide, QObject* parent) : QObject(parent), maxSide_(maxSide) {
    pool_.setMaxThreadCount(2);
}

ThumbnailCache::~ThumbnailCache() {
    // No load outlives the cache; the queued results of finished ones go with this object.
    pool_.clear();
    pool_.waitForDone();
}

QImage ThumbnailCache::picture(const std::filesystem::path& file) {
    const QString key = QString::fromStdString(file.string());
    if (const auto found = pictures_.constFind(key); found != pictures_.constEnd()) return *found;
    if (asked_.contains(key)) return {};
    asked_.insert(key);
    pool_.start([this, key, file, maxSide = maxSide_] {
        const std::optional<Thumbnail> thumbnail = ThumbnailLoader::load(file, maxSide);
        if (!thumbnail) return;
        QImage image = QImage(thumbnail->rgba.data(), thumbnail->width, thumbnail->height, thumbnail->width * 4,
                              QImage::Format_RGBA8888)
                           .copy();
        QMetaObject::invokeMethod(
            this,
            [this, key, image = std::move(image)] {
                pictures_.insert(key, image);
                emit loaded(key);
            },
            Qt::QueuedConnection);
    });
    return {};
}

}  // namespace dorvex::app
