#include "shell/SettingsWindow.h"

#include <QTabWidget>
#include <QVBoxLayout>

#include "model/UiText.h"
#include "shell/EncoderSettings.h"
#include "shell/GeneralSettings.h"
#include "views/ThemeIcon.h"

namespace dorvex::app {

SettingsWindow::SettingsWindow(SettingsStore& settings, Toolchain toolchain, QWidget* parent)
    : QWidget(parent, Qt::Window), tabs_(new QTabWidget(this)) {
    setObjectName(QStringLiteral("settingsWindow"));
    setWindowTitle(ui("设置"));
    setFixedSize(windowSize);
    tabs_->setObjectName(QStringLiteral("settingsTabs"));
    tabs_->setDocumentMode(true);
    tabs_->addTab(new GeneralSettings(settings, tabs_), themeIcon(QStringLiteral("preferences-system"), QStringLiteral("gear.svg")),
                  ui("通用"));
    tabs_->addTab(new EncoderSettings(settings, std::move(toolchain), tabs_), QIcon(QStringLiteral(":/dorvex/icons/cpu.svg")),
                  ui("编码器"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabs_);
}

}  // namespace dorvex::app
