#include "views/window/SummaryBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include "dorvex/text/Format.h"
#include "dorvex/text/RunProgress.h"
#include "model/UiText.h"
#include "views/DroppedFiles.h"
#include "views/options/ElidedLabel.h"

namespace dorvex::app {

QString summaryText(const AppModel::Summary& summary, int ignoredCount, std::optional<int> collected) {
    QStringList parts;
    if (summary.count > 0) {
        const QString counted = summary.allPictures ? uiPlural("%1 张", "%1 张", summary.count)
                                                    : uiPlural("%1 个文件", "%1 个文件", summary.count);
        parts << counted.arg(summary.count) << ui("已完成 %1").arg(summary.finishedCount);
    } else if (!collected) {
        parts << ui("没有可压缩的文件");
    }
    if (summary.failedCount > 0) parts << ui("失败 %1").arg(summary.failedCount);
    if (summary.sourceBytes >= 1) {
        parts << QString::fromStdString(Format::totalSaved(summary.savedBytes, summary.sourceBytes));
    }
    if (ignoredCount > 0) parts << uiPlural("已忽略 %1 个不支持的文件", "已忽略 %1 个不支持的文件", ignoredCount).arg(ignoredCount);
    if (collected) parts << collectingText(*collected);
    return parts.join(QStringLiteral(" · "));
}

SummaryBar::SummaryBar(AppModel& model, QWidget* parent)
    : QWidget(parent),
      model_(model),
      summary_(new ElidedLabel(this)),
      progressText_(new QLabel(this)),
      progressBar_(new QProgressBar(this)) {
    setObjectName(QStringLiteral("summaryBar"));
    summary_->setObjectName(QStringLiteral("summaryText"));
    progressText_->setObjectName(QStringLiteral("progressText"));
    progressBar_->setObjectName(QStringLiteral("progressBar"));
    for (QLabel* label : {summary_, progressText_}) label->setForegroundRole(QPalette::PlaceholderText);
    progressBar_->setTextVisible(false);
    progressBar_->setFixedSize(120, 6);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 6, 16, 6);
    layout->setSpacing(10);
    layout->addWidget(summary_, 1);
    layout->addWidget(progressText_);
    layout->addWidget(progressBar_);

    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, &SummaryBar::refreshProgress);
    connect(&model_, &AppModel::summaryChanged, this, &SummaryBar::refresh);
    connect(&model_, &AppModel::ignoredCountChanged, this, &SummaryBar::refresh);
    connect(&model_, &AppModel::collectingChanged, this, &SummaryBar::refresh);
    refresh();
}

QString SummaryBar::text() const { return summary_->text(); }

void SummaryBar::refresh() {
    const AppModel::Summary summary = model_.summary();
    const std::optional<int> collected = model_.collecting() ? std::optional(model_.collectedCount()) : std::nullopt;
    summary_->setText(summaryText(summary, model_.ignoredCount(), collected));
    setVisible(summary.count > 0 || model_.ignoredCount() > 0 || collected);
    refreshProgress();
}

void SummaryBar::refreshProgress() {
    const std::optional<AppModel::Progress> progress = model_.progress();
    progressText_->setVisible(progress.has_value());
    progressBar_->setVisible(progress.has_value());
    if (!progress) {
        tick_.stop();
        return;
    }
    progressText_->setText(QString::fromStdString(RunProgress::text(progress->finished, progress->total, progress->secondsLeft)));
    progressBar_->setRange(0, progress->total);
    progressBar_->setValue(progress->finished);
    if (!tick_.isActive()) tick_.start();
}

}  // namespace dorvex::app
