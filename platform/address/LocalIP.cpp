#include "LocalIP.h"

#include <QNetworkInterface>

namespace platform {

QList<QNetworkAddressEntry> ActiveAddressEntries() {
    QList<QNetworkAddressEntry> entries;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            !flags.testFlag(QNetworkInterface::IsRunning) ||
            flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        entries += iface.addressEntries();
    }
    return entries;
}

QString LocalIP() {
    QString linkLocal;
    for (const QNetworkAddressEntry& entry : ActiveAddressEntries()) {
        const QHostAddress ip = entry.ip();
        if (ip.protocol() != QAbstractSocket::IPv4Protocol || ip.isLoopback())
            continue;
        if (ip.isLinkLocal()) {
            if (linkLocal.isEmpty())
                linkLocal = ip.toString();
            continue;
        }
        return ip.toString();
    }
    return linkLocal.isEmpty() ? QStringLiteral("127.0.0.1") : linkLocal;
}

} // namespace platform
