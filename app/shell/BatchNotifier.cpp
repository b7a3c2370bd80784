#include "shell/BatchNotifier.h"

#include <QApplication>
#include <QWidget>

#include <algorithm>

#include "model/UiText.h"
#include "shell/TrayStatus.h"
#include "views/window/SummaryBar.h"

namespace dorvex::app {

bool anyWindowShown() {
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::any_of(windows.begin(), windows.end(), [](const QWidget* window) {
        return window->isVisible() && !window->isMinimized() && window->windowType() != Qt::Popup &&
               window->windowType() != Qt::ToolTip;
    });
}

BatchNotifier::BatchNotifier(AppModel& model, std::unique_ptr<Notifier> notifier, std::function<void()> showWindow,
                             QObject* parent)
    : QObject(parent), model_(model), notifier_(std::move(notifier)), showWindow_(std::move(showWindow)) {
    connect(&model_, &AppModel::summaryChanged, this, &BatchNotifier::refresh);
    connect(&model_, &AppModel::collectingChanged, this, &BatchNotifier::refresh);
    refresh();
}

std::optional<Notifier::Notice> BatchNotifier::notice(const AppModel::Summary& summary, int ignoredCount) {
    if (summary.count == 0) return std::nullopt;
    return Notifier::Notice{summary.failedCount > 0 ? ui("有文件压缩失败") : ui("压缩完成"), summaryText(summary, ignoredCount),
                            ui("打开主窗口")};
}

void BatchNotifier::refresh() {
    const AppModel::Summary summary = model_.summary();
    const bool working = trayState(summary, model_.collecting()) == TrayState::working;
    const bool ended = working_ && !working;
    working_ = working;
    if (!ended || anyWindowShown()) return;
    if (const auto shown = notice(summary, model_.ignoredCount())) notifier_->show(*shown, showWindow_);
}

}  // namespace dorvex::app
