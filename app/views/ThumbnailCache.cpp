#include "views/ThumbnailCache.h"

#include <QThreadPool>

#include <atomic>
#include <mutex>

#include "dorvex/engine/ThumbnailLoader.h"

namespace dorvex::app {

namespace {

// Two threads: rows and the compare window share them, the compare window's loads first. The
// pool goes at exit, after every requester: what is queued then returns at once, dropped.
QThreadPool& loadPool() {
    struct Pool : QThreadPool {
        Pool() { setMaxThreadCount(2); }
    };
    static Pool pool;
    return pool;
}

QImage decode(const std::filesystem::path& file, int maxSide) {
    const std::optional<Thumbnail> thumbnail = ThumbnailLoader::load(file, maxSide);
    if (!thumbnail) return {};
    return QImage(thumbnail->rgba.data(), thumbnail->width, thumbnail->height, thumbnail->width * 4,
                  QImage::Format_RGBA8888)
        .copy();
}

}  // namespace

QString fileContentKey(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error) return {};
    const auto modified = std::filesystem::last_write_time(file, error);
    if (error) return {};
    return QStringLiteral("%1\n%2\n%3")
        .arg(QString::fromStdString(file.string()))
        .arg(size)
        .arg(qint64(modified.time_since_epoch().count()));
}

struct PictureLoads::State {
    std::mutex mutex;
    QObject* receiver;         // null once the owner has gone
    std::atomic<int> round{0};  // raised by dropAll()
};

PictureLoads::PictureLoads(QObject* receiver) : state_(std::make_shared<State>()) { state_->receiver = receiver; }

PictureLoads::~PictureLoads() {
    const std::lock_guard lock(state_->mutex);
    state_->receiver = nullptr;
    ++state_->round;
}

void PictureLoads::dropAll() { ++state_->round; }

void PictureLoads::load(const std::filesystem::path& file, int maxSide, std::function<void(const QImage&)> deliver,
                        int priority) {
    const int round = state_->round;
    loadPool().start(
        [state = state_, round, file, maxSide, deliver = std::move(deliver)] {
            if (state->round != round) return;
            const QImage picture = decode(file, maxSide);
            const std::lock_guard lock(state->mutex);
            if (state->receiver == nullptr || state->round != round) return;
            // Queued: posted events of a receiver that is destroyed go with it.
            QMetaObject::invokeMethod(
                state->receiver,
                [state, round, picture, deliver] {
                    if (state->round == round) deliver(picture);
                },
                Qt::QueuedConnection);
        },
        priority);
}

ThumbnailCache::ThumbnailCache(int maxSide, QObject* parent, qsizetype maxBytes)
    : QObject(parent), maxSide_(maxSide), pictures_(maxBytes), loads_(this) {}

ThumbnailCache::~ThumbnailCache() = default;

QImage ThumbnailCache::picture(const std::filesystem::path& file) {
    const QString key = fileContentKey(file);
    if (key.isEmpty()) return {};
    if (const QImage* found = pictures_.object(key)) return *found;
    if (pending_.contains(key) || unreadable_.contains(key)) return {};
    pending_.insert(key);
    loads_.load(file, maxSide_, [this, key, name = QString::fromStdString(file.string())](const QImage& image) {
        pending_.remove(key);
        if (image.isNull()) {
            unreadable_.insert(key);
            return;
        }
        pictures_.insert(key, new QImage(image), image.sizeInBytes());
        emit loaded(name);
    });
    return {};
}

}  // namespace dorvex::app
