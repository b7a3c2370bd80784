#pragma once
// BatchNotifier: tells the desktop when the work is over while no window of ours shows — the user
// dropped files on the tray panel and went on with something else. One notice each time the list
// has nothing left to run: what the summary line says, and "打开主窗口", which shows the main
// window. Nothing while a window of ours shows (the tray panel counts): its summary says it.

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

#include "model/AppModel.h"
#include "shell/Notifier.h"

namespace dorvex::app {

// Whether a window of the application shows: visible and not minimized (popups and tool tips do
// not count).
bool anyWindowShown();

class BatchNotifier : public QObject {
    Q_OBJECT

public:
    BatchNotifier(AppModel& model, std::unique_ptr<Notifier> notifier, std::function<void()> showWindow,
                  QObject* parent = nullptr);

    // The notice for a list that has nothing left to run: "压缩完成" (or "有文件压缩失败") over the
    // summary line; none for an empty list.
    static std::optional<Notifier::Notice> notice(const AppModel::Summary& summary, int ignoredCount);

private:
    void refresh();

    AppModel& model_;
    std::unique_ptr<Notifier> notifier_;
    std::function<void()> showWindow_;
    bool working_ = false;
};

}  // namespace dorvex::app
