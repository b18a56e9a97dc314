#include "LocalIP.h"

#include <QDeadlineTimer>
#include <QNetworkInterface>

#if defined(Q_OS_WIN)
// The sockets' declarations come first: the adapter list's are built on them.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <vector>
#else
#include <QFile>
#include <QHash>
#endif

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

#if defined(Q_OS_WIN)

QList<LocalIPv6> LocalIPv6Addresses() {
    QList<LocalIPv6> found;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(size);
        result =
            GetAdaptersAddresses(AF_INET6, flags, nullptr,
                                 reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR)
        return found;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK)
            continue;
        for (auto* a = adapter->FirstUnicastAddress; a; a = a->Next) {
            const auto* sa = reinterpret_cast<const sockaddr_in6*>(a->Address.lpSockaddr);
            if (!sa || sa->sin6_family != AF_INET6)
                continue;
            LocalIPv6 entry;
            entry.address = QHostAddress(sa->sin6_addr.s6_addr).toString();
            entry.temporary = a->SuffixOrigin == IpSuffixOriginRandom;
            entry.usable = a->DadState == IpDadStatePreferred;
            entry.validSeconds = a->ValidLifetime == 0xffffffff ? -1 : qint64(a->ValidLifetime);
            found << entry;
        }
    }
    return found;
}

#else

namespace {

// The kernel's own flags of each IPv6 address (/proc/net/if_inet6), by the address as 32
// hexadecimal digits.
QHash<QByteArray, unsigned> kernelFlags() {
    QHash<QByteArray, unsigned> flags;
    QFile file(QStringLiteral("/proc/net/if_inet6"));
    if (!file.open(QIODevice::ReadOnly))
        return flags;
    // One short line per address; a machine has a few hundred at most.
    const QList<QByteArray> lines = file.read(1024 * 1024).split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields[0].size() != 32)
            continue;
        bool ok = false;
        const unsigned value = fields[4].toUInt(&ok, 16);
        if (ok)
            flags.insert(fields[0].toLower(), value);
    }
    return flags;
}

constexpr unsigned Temporary = 0x01;
constexpr unsigned DadFailed = 0x08;
constexpr unsigned Deprecated = 0x20;
constexpr unsigned Tentative = 0x40;

} // namespace

QList<LocalIPv6> LocalIPv6Addresses() {
    const QHash<QByteArray, unsigned> flags = kernelFlags();
    QList<LocalIPv6> found;
    for (const QNetworkAddressEntry& entry : ActiveAddressEntries()) {
        const QHostAddress ip = entry.ip();
        if (ip.protocol() != QAbstractSocket::IPv6Protocol)
            continue;
        const Q_IPV6ADDR bytes = ip.toIPv6Address();
        const QByteArray key =
            QByteArray(reinterpret_cast<const char*>(bytes.c), 16).toHex().toLower();
        const unsigned f = flags.value(key, 0);
        LocalIPv6 address;
        address.address = QHostAddress(ip.toIPv6Address()).toString();
        // Qt calls every address with a limited lifetime temporary; the kernel knows better.
        address.temporary = f & Temporary;
        address.usable = !(f & (DadFailed | Deprecated | Tentative)) &&
                         !(entry.isLifetimeKnown() && entry.preferredLifetime().hasExpired());
        if (entry.isLifetimeKnown() && !entry.validityLifetime().isForever())
            address.validSeconds = entry.validityLifetime().remainingTime() / 1000;
        found << address;
    }
    return found;
}

#endif

} // namespace platform
