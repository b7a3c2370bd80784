#pragma once
// ThumbnailCache: the rows' pictures, loaded off the main thread through the engine and kept in a
// bounded cache (by bytes). A picture belongs to a file as it is now — its path, size and
// modification time — so a file rewritten in place is loaded anew. A file that cannot be read
// stays without a picture.
//
// PictureLoads: how the views load pictures in the background. Loads run on one small pool
// shared by the application and hold only a shared state, never their requester: a requester
// that goes (or drops what it asked for) lets its loads finish unseen, and nothing waits for a
// decode on the main thread. Results come back to the requester's thread as queued calls.

#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>

namespace dorvex::app {

// What tells a file's current content apart: its path, size and modification time; empty when
// the file cannot be looked at.
QString fileContentKey(const std::filesystem::path& file);

class PictureLoads {
public:
    // Results are handed to `receiver`'s thread, and only while this object lives.
    explicit PictureLoads(QObject* receiver);
    ~PictureLoads();
    PictureLoads(const PictureLoads&) = delete;
    PictureLoads& operator=(const PictureLoads&) = delete;

    // Loads `file` at most `maxSide` pixels on its longer side and calls `deliver` with it (a null
    // image when it cannot be read), unless dropAll() came first. Loads of a higher `priority` are
    // started first.
    void load(const std::filesystem::path& file, int maxSide, std::function<void(const QImage&)> deliver,
              int priority = 0);
    // Forgets every load asked for so far: those not started never decode, the others never deliver.
    void dropAll();

private:
    struct State;
    std::shared_ptr<State> state_;
};

class ThumbnailCache : public QObject {
    Q_OBJECT

public:
    // Pictures are at most `maxSide` pixels on their longer side; the cache keeps at most
    // `maxBytes` of them, dropping the least recently used.
    explicit ThumbnailCache(int maxSide, QObject* parent = nullptr, qsizetype maxBytes = qsizetype{64} << 20);
    ~ThumbnailCache() override;

    // The file's current picture once loaded; a null image before (the first ask starts the load)
    // and for a file that cannot be read or is not there.
    QImage picture(const std::filesystem::path& file);

signals:
    // A picture has arrived for `file`.
    void loaded(const QString& file);

private:
    int maxSide_;
    QCache<QString, QImage> pictures_;
    QSet<QString> pending_;
    QSet<QString> unreadable_;
    PictureLoads loads_;
};

}  // namespace dorvex::app
