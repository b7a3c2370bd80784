#include "shell/TrayStatus.h"

#include <QBuffer>
#include <QFile>
#include <QIconEngine>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>

#include "dorvex/text/RunProgress.h"
#include "model/UiText.h"
#include "views/DroppedFiles.h"
#include "views/window/SummaryBar.h"

// The drawings are compiled into this static library; Qt needs them registered once by name.
static void registerTrayIcons() { Q_INIT_RESOURCE(tray); }

namespace dorvex::app {

namespace {

// The symbolic drawings (packaging/icons) set their one colour in this rule.
constexpr char drawnColour[] = "#2e3436";

// Draws a symbolic SVG in one colour at any size: the tray asks for the sizes its panel uses.
class SymbolicIconEngine final : public QIconEngine {
public:
    SymbolicIconEngine(QByteArray svg, QString themeName) : svg_(std::move(svg)), themeName_(std::move(themeName)) {}

    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        QByteArray svg = svg_;
        QBuffer buffer(&svg);
        QImageReader reader(&buffer, "svg");
        reader.setScaledSize(size);
        return QPixmap::fromImage(reader.read());
    }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        const qreal ratio = painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap image = pixmap((QSizeF(rect.size()) * ratio).toSize(), mode, state);
        image.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect, image);
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    }
    QString iconName() override { return themeName_; }
    bool isNull() override { return svg_.isEmpty(); }
    QString key() const override { return QStringLiteral("dorvex-symbolic"); }
    QIconEngine* clone() const override { return new SymbolicIconEngine(svg_, themeName_); }

private:
    QByteArray svg_;
    QString themeName_;
};

void registerOnce() {
    static const bool registered = (registerTrayIcons(), true);
    Q_UNUSED(registered);
}

QString resourceFor(TrayState state) {
    switch (state) {
    case TrayState::working: return QStringLiteral(":/dorvex/tray/working.svg");
    case TrayState::failed: return QStringLiteral(":/dorvex/tray/failed.svg");
    case TrayState::idle: break;
    }
    return QStringLiteral(":/dorvex/tray/idle.svg");
}

}  // namespace

TrayState trayState(const AppModel::Summary& summary, bool collecting) {
    if (collecting || summary.finishedCount < summary.count) return TrayState::working;
    return summary.failedCount > 0 ? TrayState::failed : TrayState::idle;
}

QString trayToolTip(const AppModel::Summary& summary, const std::optional<AppModel::Progress>& progress,
                    int ignoredCount, std::optional<int> collected) {
    QStringList parts{QStringLiteral("Dorvex")};
    if (progress) {
        // The count only: the time left would go stale between two finished items.
        parts << ui("正在压缩 %1")
                     .arg(QString::fromStdString(RunProgress::text(progress->finished, progress->total, std::nullopt)));
    }
    if (collected) {
        parts << collectingText(*collected);
    } else if (summary.count > 0 && summary.finishedCount == summary.count) {
        parts << summaryText(summary, ignoredCount);
    }
    return parts.join(QStringLiteral(" · "));
}

QString trayIconName(TrayState state) {
    switch (state) {
    case TrayState::working: return QStringLiteral("local.dorvex.app-working-symbolic");
    case TrayState::failed: return QStringLiteral("local.dorvex.app-failed-symbolic");
    case TrayState::idle: break;
    }
    return QStringLiteral("local.dorvex.app-symbolic");
}

QIcon trayIcon(TrayState state, const QColor& colour) {
    registerOnce();
    QFile file(resourceFor(state));
    QByteArray svg = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    svg.replace(drawnColour, colour.name(QColor::HexRgb).toLatin1());
    // Only a name the theme really has: Qt's theme lookup would otherwise settle for a shorter
    // name ("local.dorvex.app", the coloured icon).
    const QString name = trayIconName(state);
    return QIcon(new SymbolicIconEngine(std::move(svg), QIcon::hasThemeIcon(name) ? name : QString()));
}

QIcon bundledAppIcon() {
    registerOnce();
    return QIcon(QStringLiteral(":/dorvex/tray/app.svg"));
}

}  // namespace dorvex::app
