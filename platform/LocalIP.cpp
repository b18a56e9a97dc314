#include "LocalIP.h"

#include <QNetworkInterface>

namespace platform {

QString LocalIP() {
    QString linkLocal;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            !flags.testFlag(QNetworkInterface::IsRunning) ||
            flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
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
    }
    return linkLocal.isEmpty() ? QStringLiteral("127.0.0.1") : linkLocal;
}

} // namespace platform
