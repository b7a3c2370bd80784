#pragma once
// DroppedFiles: what of a drag or a drop the windows take — its local files and folders. Text,
// web addresses and other data are refused. And what the windows say while dropped folders are
// still being walked.

#include <QList>
#include <QMimeData>
#include <QString>
#include <QUrl>

#include "model/UiText.h"

namespace dorvex::app {

inline QList<QUrl> droppedFiles(const QMimeData* data) {
    QList<QUrl> urls;
    if (data == nullptr || !data->hasUrls()) return urls;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) urls << url;
    }
    return urls;
}

// "正在查找文件… 120": the files a drop has listed so far.
inline QString collectingText(int found) { return ui("正在查找文件… %1").arg(found); }

}  // namespace dorvex::app
