#include "views/window/SummaryBar.h"

#include "dorvex/text/Format.h"

namespace dorvex::app {

QString summaryText(const AppModel::Summary& summary, int ignoredCount) {
    QStringList parts{QStringLiteral("%1 %2").arg(summary.count).arg(QString::fromStdString(Format::counter(summary.allPictures))),
                      QStringLiteral("已完成 %1").arg(summary.finishedCount)};
    if (summary.failedCount > 0) parts << QStringLiteral("失败 %1").arg(summary.failedCount);
    if (summary.sourceBytes >= 1) {
        parts << QString::fromStdString(Format::totalSaved(summary.savedBytes, summary.sourceBytes));
    }
    if (ignoredCount > 0) parts << QStringLiteral("已忽略 %1 个不支持的文件").arg(ignoredCount);
    return parts.join(QStringLiteral(" · "));
}

SummaryBar::SummaryBar(AppModel& model, QWidget* parent) : QLabel(parent), model_(model) {
    setObjectName(QStringLiteral("summaryBar"));
    setForegroundRole(QPalette::PlaceholderText);
    setContentsMargins(16, 6, 16, 6);
    connect(&model_, &AppModel::summaryChanged, this, &SummaryBar::refresh);
    connect(&model_, &AppModel::ignoredCountChanged, this, &SummaryBar::refresh);
    refresh();
}

void SummaryBar::refresh() {
    setText(summaryText(model_.summary(), model_.ignoredCount()));
    setVisible(model_.summary().count > 0);
}

}  // namespace dorvex::app
