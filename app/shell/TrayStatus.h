#pragma once
// TrayStatus: what the tray icon tells of the work at a glance — its state (nothing to do,
// compressing, over with failures), the tooltip with the progress, and the symbolic icon of each
// state. Plain functions of the app model's summary, so that tests read them without a tray.

#include <QColor>
#include <QIcon>
#include <QString>

#include <optional>

#include "model/AppModel.h"

namespace dorvex::app {

enum class TrayState {
    idle,     // nothing listed, or everything finished well
    working,  // an item has not finished, or dropped folders are being walked
    failed,   // everything finished, and some items failed (cancellations do not count)
};

TrayState trayState(const AppModel::Summary& summary, bool collecting);

// "Dorvex" for an empty list; while working "Dorvex · 正在压缩 3/40" (the run's `progress`, as the
// summary bar counts it) and "正在查找文件… N" while dropped folders are walked; afterwards
// "Dorvex · " and the summary line ("40 张 · 已完成 40 · 失败 2 · 共节省 …").
QString trayToolTip(const AppModel::Summary& summary, const std::optional<AppModel::Progress>& progress,
                    int ignoredCount, std::optional<int> collected);

// The state's icon in the desktop's icon theme ("local.dorvex.app-working-symbolic").
QString trayIconName(TrayState state);

// The state's icon: our own symbolic drawing in `colour`. The application cannot know the panel's
// colour: the palette's text colour stands for it. Where the desktop's icon theme has the icon, it
// carries the theme's name too, and a StatusNotifierItem host draws that one in its panel's colour.
QIcon trayIcon(TrayState state, const QColor& colour);

// The application's coloured icon, our own drawing (for where the desktop's icon theme lacks it).
QIcon bundledAppIcon();

}  // namespace dorvex::app
