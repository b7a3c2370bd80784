#pragma once
// ThemeIcon: an icon of the desktop's theme by its freedesktop name, with our own drawing from the
// resources (":/dorvex/icons/<file>") where the theme has none, so that windows look whole on a
// desktop without an icon theme.

#include <QIcon>
#include <QString>

namespace dorvex::app {

inline QIcon themeIcon(const QString& name, const QString& fallbackFile) {
    return QIcon::fromTheme(name, QIcon(QStringLiteral(":/dorvex/icons/") + fallbackFile));
}

}  // namespace dorvex::app
