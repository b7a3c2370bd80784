#pragma once
// DroppedFiles: what of a drag or a drop the windows take — its local files and folders. Text,
// web addresses and other data are refused.

#include <QList>
#include <QMimeData>
#include <QUrl>

namespace dorvex::app {

inline QList<QUrl> droppedFiles(const QMimeData* data) {
    QList<QUrl> urls;
    if (data == nullptr || !data->hasUrls()) return urls;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) urls << url;
    }
    return urls;
}

}  // namespace dorvex::app
