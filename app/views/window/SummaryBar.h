#pragma once
// SummaryBar: the line under the result list — how many items, how many finished and failed, what
// was saved, and how many dropped files were not taken — following the app model.

#include <QLabel>

#include "model/AppModel.h"

namespace dorvex::app {

// "3 张 · 已完成 2 · 失败 1 · 共节省 1.2 MB（40%） · 已忽略 1 个不支持的文件"; "个文件" in place of
// "张" once a video or a PDF is listed.
QString summaryText(const AppModel::Summary& summary, int ignoredCount);

class SummaryBar : public QLabel {
    Q_OBJECT

public:
    explicit SummaryBar(AppModel& model, QWidget* parent = nullptr);

private:
    void refresh();

    AppModel& model_;
};

}  // namespace dorvex::app
