#pragma once
// SummaryBar: the line under the result list — how many items, how many finished and failed, what
// was saved, how many dropped files were not taken, and whether dropped folders are still being
// walked — following the app model; while items wait or run, on its right how far the work has
// come and the time it has left ("3/40 · 预计剩余 1:05", as the command line says it) over a bar.
// Shown once anything was listed, ignored or is being collected.

#include <QTimer>
#include <QWidget>

#include <optional>

#include "model/AppModel.h"

class QLabel;
class QProgressBar;

namespace dorvex::app {

// "3 张 · 已完成 2 · 失败 1 · 共节省 1.2 MB（40%） · 已忽略 1 个不支持的文件"; "个文件" in place of
// "张" once a video or a PDF is listed; "没有可压缩的文件" in place of the counts while nothing is
// listed. While dropped folders are walked (`collected` set: the files listed so far), ends with
// "正在查找文件… N".
QString summaryText(const AppModel::Summary& summary, int ignoredCount, std::optional<int> collected = std::nullopt);

class SummaryBar : public QWidget {
    Q_OBJECT

public:
    explicit SummaryBar(AppModel& model, QWidget* parent = nullptr);

    // The summary line (summaryText).
    QString text() const;

private:
    void refresh();
    void refreshProgress();

    AppModel& model_;
    QLabel* summary_;
    QLabel* progressText_;
    QProgressBar* progressBar_;
    QTimer tick_;  // counts the time left down, while there is work under way
};

}  // namespace dorvex::app
