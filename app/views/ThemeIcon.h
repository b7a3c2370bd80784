#pragma once
// ThemeIcon: an icon of the desktop's theme by its freedesktop name, with our own drawing from the
// resources (":/dorvex/icons/<file>") where the theme has none, so that windows look whole on a
// desktop without an icon theme.

#include <QIcon>
#include <QString>

namespace dorvex::app {

// The theme's icon `name`, else our drawing `fallbackFile`. An empty name asks for our drawing
// alone; an empty file name means there is none (the theme's icon or nothing).
inline QIcon themeIcon(const QString& name, const QString& fallbackFile = {}) {
    const QIcon fallback = fallbackFile.isEmpty() ? QIcon() : QIcon(QStringLiteral(":/dorvex/icons/") + fallbackFile);
    return name.isEmpty() ? fallback : QIcon::fromTheme(name, fallback);
}

}  // namespace dorvex::app
