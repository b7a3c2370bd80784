// dorvex-screenshots: renders the application's windows to PNG files on the offscreen platform,
// one for each moment of the window tour (tools/WindowTour.h: the main window, the option
// popovers, the compare window, the tray panel and the settings, from real compressions of sample
// media), and the tray icon's states on a light and a dark panel. The texts follow the user's
// language as the application's do (LANGUAGE, LC_ALL, LC_MESSAGES, LANG). Usage:
// dorvex-screenshots MEDIA_FOLDER OUT_FOLDER [dark]
// (scripts/screenshots runs it in a temporary home, at device pixel ratios 1 and 2, and in a dark
// palette).

#include <QApplication>
#include <QPainter>
#include <QPalette>

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <tuple>

#include "dorvex/text/Translation.h"
#include "shell/TrayStatus.h"
#include "tools/WindowTour.h"

namespace fs = std::filesystem;
using namespace dorvex;
using namespace dorvex::app;

namespace {

void save(QWidget& widget, const fs::path& file) {
    if (!widget.grab().save(QString::fromStdString(file.string()))) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", file.c_str());
    } else {
        std::printf("%s\n", file.c_str());
    }
}

// The icon's states at the panels' sizes, drawn in each panel's text colour.
void saveTrayIcons(qreal ratio, const fs::path& file) {
    QImage strip(QSize(3 * 90, 2 * 40) * ratio, QImage::Format_ARGB32);
    strip.setDevicePixelRatio(ratio);
    QPainter painter(&strip);
    for (const auto& [row, background, ink] : {std::tuple(0, QColor(0xef, 0xf0, 0xf1), QColor(0x23, 0x26, 0x29)),
                                                std::tuple(1, QColor(0x2a, 0x2e, 0x32), QColor(0xfc, 0xfc, 0xfc))}) {
        painter.fillRect(0, row * 40, 3 * 90, 40, background);
        int x = 4;
        for (const TrayState state : {TrayState::idle, TrayState::working, TrayState::failed}) {
            for (const int side : {16, 22, 32}) {
                trayIcon(state, ink).paint(&painter, QRect(x, row * 40 + 4, side, side));
                x += side + 4;
            }
            x += 6;
        }
    }
    painter.end();
    strip.save(QString::fromStdString(file.string()));
}

// A dark desktop's colours, as a dark theme gives them to Qt.
QPalette darkPalette() {
    QPalette palette;
    const QColor window(0x2b, 0x2b, 0x2e), base(0x1f, 0x1f, 0x22), text(0xe6, 0xe6, 0xe6);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3e));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::Highlight, QColor(0x3d, 0x8e, 0xe6));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0xa0));
    palette.setColor(QPalette::Light, QColor(0x55, 0x55, 0x5a));
    palette.setColor(QPalette::Midlight, QColor(0x4a, 0x4a, 0x4f));
    palette.setColor(QPalette::Mid, QColor(0x48, 0x48, 0x4d));
    palette.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x1a));
    palette.setColor(QPalette::Shadow, QColor(0x10, 0x10, 0x12));
    palette.setColor(QPalette::ToolTipBase, window);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x77, 0x77, 0x7c));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x77, 0x77, 0x7c));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x77, 0x77, 0x7c));
    return palette;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3 && !(argc == 4 && std::string_view(argv[3]) == "dark")) {
        std::fprintf(stderr, "usage: dorvex-screenshots MEDIA_FOLDER OUT_FOLDER [dark]\n");
        return 2;
    }
    if (argc == 4) QApplication::setPalette(darkPalette());
    const fs::path media = argv[1], out = argv[2];
    Translation::useUserLanguage();
    tour::visitWindows(media, out / "files", [&](QWidget& shown, const std::string& name) {
        save(shown, out / (name + ".png"));
    });
    saveTrayIcons(app.devicePixelRatio(), out / "tray-icons.png");
    return 0;
}
