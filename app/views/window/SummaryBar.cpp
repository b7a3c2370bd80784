#include "views/window/SummaryBar.h"

#include "dorvex/text/Format.h"
#include "views/DroppedFiles.h"

namespace dorvex::app {

QString summaryText(const AppModel::Summary& summary, int ignoredCount, std::optional<int> collected) {
    QStringList parts;
    if (summary.count > 0) {
        parts << QStringLiteral("%1 %2").arg(summary.count).arg(QString::fromStdString(Format::counter(summary.allPictures)))
              << QStringLiteral("已完成 %1").arg(summary.finishedCount);
    } else if (!collected) {
        parts << QStringLiteral("没有可压缩的文件");
    }
    if (summary.failedCount > 0) parts << QStringLiteral("失败 %1").arg(summary.failedCount);
    if (summary.sourceBytes >= 1) {
        parts << QString::fromStdString(Format::totalSaved(summary.savedBytes, summary.sourceBytes));
    }
    if (ignoredCount > 0) parts << QStringLiteral("已忽略 %1 个不支持的文件").arg(ignoredCount);
    if (collected) parts << collectingText(*collected);
    return parts.join(QStringLiteral(" · "));
}

SummaryBar::SummaryBar(AppModel& model, QWidget* parent) : QLabel(parent), model_(model) {
    setObjectName(QStringLiteral("summaryBar"));
    setForegroundRole(QPalette::PlaceholderText);
    setContentsMargins(16, 6, 16, 6);
    connect(&model_, &AppModel::summaryChanged, this, &SummaryBar::refresh);
    connect(&model_, &AppModel::ignoredCountChanged, this, &SummaryBar::refresh);
    connect(&model_, &AppModel::collectingChanged, this, &SummaryBar::refresh);
    refresh();
}

void SummaryBar::refresh() {
    const AppModel::Summary summary = model_.summary();
    const std::optional<int> collected = model_.collecting() ? std::optional(model_.collectedCount()) : std::nullopt;
    setText(summaryText(summary, model_.ignoredCount(), collected));
    setVisible(summary.count > 0 || model_.ignoredCount() > 0 || collected);
}

}  // namespace dorvex::app
