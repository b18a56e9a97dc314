#include "DesktopNotice.h"

#if !defined(Q_OS_WIN)
#include "SessionBus.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#endif

namespace platform {

#if defined(Q_OS_WIN)

// Windows shows notices only for programs that register with its notification platform, which
// this one does not: the message on standard error and the scheduler's own record remain.
bool ShowDesktopNotice(const QString&, const QString&, NoticeUrgency) {
    return false;
}

#else

bool ShowDesktopNotice(const QString& summary, const QString& body, NoticeUrgency urgency) {
    using namespace std::chrono_literals;
    const SessionBus bus;
    if (!bus.IsConnected())
        return false;
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    const QString path = QStringLiteral("/org/freedesktop/Notifications");
    // A server that reads markup in the body would drop what looks like a tag: the reason is
    // plain text.
    QString plainBody = body;
    const QDBusMessage capabilities = bus.Call(
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("GetCapabilities")),
        5s);
    if (capabilities.type() == QDBusMessage::ReplyMessage &&
        capabilities.arguments().value(0).toStringList().contains(QLatin1String("body-markup")))
        plainBody = plainBody.toHtmlEscaped();
    QDBusMessage notify =
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    QVariantMap hints;
    hints[QStringLiteral("urgency")] = QVariant::fromValue(uchar(urgency));
    // Lets the desktop name the notice after the program and group it with the program's own.
    const QString desktopEntry = QGuiApplication::desktopFileName();
    if (!desktopEntry.isEmpty())
        hints[QStringLiteral("desktop-entry")] = desktopEntry;
    notify.setArguments({QStringLiteral("Vantrell"), uint(0), desktopEntry, summary, plainBody,
                         QStringList(), hints,
                         // A failure stays until someone has seen it; the server decides the rest.
                         urgency == NoticeUrgency::Critical ? 0 : -1});
    return bus.Call(notify, 5s).type() == QDBusMessage::ReplyMessage;
}

#endif

} // namespace platform
