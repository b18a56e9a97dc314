#include "AddressAnswer.h"

#include <QHostAddress>

namespace platform {

namespace {

const char* const PrivateHint = "a private address, which only the local network can reach";
const char* const LinkLocalHint =
    "a link-local address, which only the local network segment can reach";
const char* const LoopbackHint = "a loopback address, which only this machine can reach";
const char* const NoAddressHint = "no address at all";
const char* const ReservedHint = "a reserved address, which the internet does not route";

// Only the ranges that machines, routers and providers hand out, or answer with when they have
// nothing better, are marked; documentation ranges never come from a real source, and tests
// use them as public addresses.
QString reasonV4(quint32 a) {
    const auto in = [a](quint32 network, int bits) {
        return (a >> (32 - bits)) == (network >> (32 - bits));
    };
    if (in(0x00000000, 8))
        return QString::fromLatin1(NoAddressHint);
    if (in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16))
        return QString::fromLatin1(PrivateHint);
    if (in(0x64400000, 10))
        return QStringLiteral("a carrier-grade NAT address, which the provider shares among "
                              "many customers");
    if (in(0x7F000000, 8))
        return QString::fromLatin1(LoopbackHint);
    if (in(0xA9FE0000, 16))
        return QString::fromLatin1(LinkLocalHint);
    if (in(0xE0000000, 4))
        return QStringLiteral("a multicast address");
    if (in(0xF0000000, 4) || in(0xC0000000, 24) || in(0xC6120000, 15))
        return QString::fromLatin1(ReservedHint);
    return {};
}

quint32 lastFour(const Q_IPV6ADDR& a) {
    return quint32(a[12]) << 24 | quint32(a[13]) << 16 | quint32(a[14]) << 8 | quint32(a[15]);
}

bool zeroBetween(const Q_IPV6ADDR& a, int begin, int end) {
    for (int i = begin; i < end; ++i)
        if (a[i] != 0)
            return false;
    return true;
}

bool zeroUpTo(const Q_IPV6ADDR& a, int end) {
    return zeroBetween(a, 0, end);
}

QString reasonV6(const Q_IPV6ADDR& a) {
    // An IPv4 address inside an IPv6 one reaches no further than the IPv4 address would, and
    // never reaches an IPv6 host.
    const auto embedded = [&a](const char* form) {
        const QString inner = reasonV4(lastFour(a));
        return inner.isEmpty() ? QString::fromLatin1(form) : inner;
    };
    if (zeroUpTo(a, 10) && a[10] == 0xff && a[11] == 0xff)
        return embedded("an IPv4 address written as IPv6, which no IPv6 host has");
    if (zeroUpTo(a, 15))
        return a[15] == 1   ? QString::fromLatin1(LoopbackHint)
               : a[15] == 0 ? QString::fromLatin1(NoAddressHint)
                            : embedded("an IPv4-compatible address, which the internet no "
                                       "longer routes");
    if (zeroUpTo(a, 12))
        return embedded("an IPv4-compatible address, which the internet no longer routes");
    // 64:ff9b::/96 and 64:ff9b:1::/48: IPv4 addresses as a provider's NAT64 translator
    // writes them.
    if (a[0] == 0x00 && a[1] == 0x64 && a[2] == 0xff && a[3] == 0x9b &&
        (zeroBetween(a, 4, 12) || (a[4] == 0 && a[5] == 1)))
        return embedded("a NAT64 address, which stands for an IPv4 address only inside a "
                        "provider's network");
    if (a[0] == 0x01 && zeroBetween(a, 1, 8)) // 100::/64, for traffic to be thrown away
        return QString::fromLatin1(ReservedHint);
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80)
        return QString::fromLatin1(LinkLocalHint);
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0xc0)
        return QStringLiteral("a site-local IPv6 address, which only the local network can reach");
    if ((a[0] & 0xfe) == 0xfc)
        return QStringLiteral(
            "a unique local IPv6 address, which only the local network can reach");
    if (a[0] == 0xff)
        return QStringLiteral("a multicast address");
    return {};
}

} // namespace

QString UnreachableReason(const QString& address) {
    QHostAddress ip;
    if (!ip.setAddress(address.trimmed()))
        return QStringLiteral("not an IP address");
    if (ip.protocol() == QAbstractSocket::IPv4Protocol)
        return reasonV4(ip.toIPv4Address());
    return reasonV6(ip.toIPv6Address());
}

} // namespace platform
