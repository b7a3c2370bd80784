#include "shell/Notifier.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QIcon>
#include <QImage>

#include "shell/TrayStatus.h"

namespace dorvex::app {

namespace {

constexpr char interfaceName[] = "org.freedesktop.Notifications";
const QString appIcon = QStringLiteral("local.dorvex.app");

// A picture as the notification service takes it in the "image-data" hint: width, height, bytes
// per row, alpha, bits per sample, channels, the RGBA bytes.
struct ImageData {
    QImage image;
};

QDBusArgument& operator<<(QDBusArgument& argument, const ImageData& data) {
    const QImage image = data.image.convertToFormat(QImage::Format_RGBA8888);
    argument.beginStructure();
    argument << image.width() << image.height() << int(image.bytesPerLine()) << true << 8 << 4
             << QByteArray(reinterpret_cast<const char*>(image.constBits()), qsizetype(image.sizeInBytes()));
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ImageData&) { return argument; }

}  // namespace

}  // namespace dorvex::app

Q_DECLARE_METATYPE(dorvex::app::ImageData)

namespace dorvex::app {

DesktopNotifier::DesktopNotifier(QString bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {}

void DesktopNotifier::show(const Notice& notice, std::function<void()> onAction) {
    // The bus is reached only now: most runs never notify.
    QDBusConnection bus = bus_.isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection(bus_);
    if (!bus.isConnected()) return;
    if (!listening_) {
        listening_ = bus.connect(service, path, interfaceName, QStringLiteral("ActionInvoked"), this,
                                 SLOT(actionInvoked(uint, QString))) &&
                     bus.connect(service, path, interfaceName, QStringLiteral("NotificationClosed"), this,
                                 SLOT(notificationClosed(uint, uint)));
    }
    QVariantMap hints{{QStringLiteral("desktop-entry"), appIcon},
                      {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))}};
    // The service finds the icon by name in the installed theme; a build run in place sends it.
    if (!QIcon::hasThemeIcon(appIcon)) {
        static const QMetaType registered = qDBusRegisterMetaType<ImageData>();
        Q_UNUSED(registered);
        const QImage image = bundledAppIcon().pixmap(64, 64).toImage();
        if (!image.isNull()) hints.insert(QStringLiteral("image-data"), QVariant::fromValue(ImageData{image}));
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interfaceName, QStringLiteral("Notify"));
    // "default" is a click on the notice itself; the other action is its button.
    call << QStringLiteral("Dorvex") << shown_ << appIcon << notice.title << notice.body
         << QStringList{QStringLiteral("default"), notice.actionText, QStringLiteral("show"), notice.actionText}
         << hints << -1;
    onAction_ = std::move(onAction);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        const QDBusPendingReply<uint> reply = *finished;
        if (!reply.isError()) shown_ = reply.value();
        finished->deleteLater();
    });
}

void DesktopNotifier::actionInvoked(uint id, const QString& action) {
    if (id == 0 || id != shown_ || !onAction_) return;
    if (action == QLatin1String("default") || action == QLatin1String("show")) onAction_();
}

void DesktopNotifier::notificationClosed(uint id, uint) {
    if (id != 0 && id == shown_) shown_ = 0;
}

}  // namespace dorvex::app
