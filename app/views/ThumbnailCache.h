#pragma once
// ThumbnailCache: the rows' pictures, each file loaded once, off the main thread, through the
// engine. It owns the pool that loads them and waits for it when it goes; results come back to
// the main thread as queued calls. A file that cannot be read stays without a picture.

#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QThreadPool>

#include <filesystem>

namespace dorvex::app {

class ThumbnailCache : public QObject {
    Q_OBJECT

public:
    // Pictures are at most `maxSide` pixels on their longer side.
    explicit ThumbnailCache(int maxSide, QObject* parent = nullptr);
    ~ThumbnailCache() override;

    // The file's picture once loaded; a null image before (the first ask starts the load) and
    // for a file that cannot be read.
    QImage picture(const std::filesystem::path& file);

signals:
    // A picture has arrived for `file`.
    void loaded(const QString& file);

private:
    int maxSide_;
    QHash<QString, QImage> pictures_;
    QSet<QString> asked_;
    QThreadPool pool_;
};

}  // namespace dorvex::app
