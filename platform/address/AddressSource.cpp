#include "AddressSource.h"

#include "HttpFetch.h"
#include "LocalIP.h"
#include "NatPmpClient.h"
#include "StunClient.h"
#include "UpnpGateway.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <cctype>

namespace platform {

namespace {

using namespace std::chrono_literals;

// An echo service answers a few dozen bytes; anything much longer is no address.
constexpr qsizetype MaxWebAnswer = 4 * 1024;

AddressAnswer failure(const QString& error) {
    return {QString(), error};
}

// ---- what the internet can reach ----------------------------------------------------------

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

// ---- strict answers ----------------------------------------------------------------------

bool strictV4(const QByteArray& text) {
    static const QRegularExpression quad(
        QStringLiteral("^(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
                       "(\\.(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}$"));
    return quad.match(QString::fromLatin1(text)).hasMatch();
}

bool strictV6(const QByteArray& text) {
    if (text.size() > 45)
        return false;
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
            return false;
    // An IPv4 address at the end is written like any other.
    const qsizetype lastColon = text.lastIndexOf(':');
    if (text.indexOf('.') >= 0 && !strictV4(text.mid(lastColon + 1)))
        return false;
    QHostAddress ip;
    return ip.setAddress(QString::fromLatin1(text)) &&
           ip.protocol() == QAbstractSocket::IPv6Protocol;
}

// A few characters of a reply, printable, for a message.
QString excerpt(const QByteArray& text) {
    QString shown;
    for (const char c : text.left(40)) {
        const auto u = static_cast<unsigned char>(c);
        shown += u >= 0x20 && u < 0x7f ? QChar(u) : QChar(u'\u00b7');
    }
    return shown + (text.size() > 40 ? QStringLiteral("...") : QString());
}

// ---- this machine ------------------------------------------------------------------------

AddressAnswer askLocal6(bool temporaryWanted) {
    QList<LocalIPv6> global;
    for (const LocalIPv6& candidate : LocalIPv6Addresses()) {
        QHostAddress ip(candidate.address);
        if (reasonV6(ip.toIPv6Address()).isEmpty())
            global << candidate;
    }
    if (global.isEmpty())
        return failure(QStringLiteral("this machine has no global IPv6 address"));
    // Of the addresses of the kind wanted, the one that stays valid longest.
    const LocalIPv6* best = nullptr;
    const auto longer = [](qint64 a, qint64 b) {
        return b >= 0 && (a < 0 || a > b);
    };
    for (const LocalIPv6& candidate : global) {
        if (candidate.temporary != temporaryWanted || !candidate.usable)
            continue;
        if (!best || longer(candidate.validSeconds, best->validSeconds))
            best = &candidate;
    }
    if (best)
        return {best->address, QString()};
    if (temporaryWanted)
        return failure(QStringLiteral("this machine has no temporary global IPv6 address "
                                      "in use"));
    return failure(QStringLiteral("this machine has no stable global IPv6 address in use, only "
                                  "temporary, deprecated or unconfirmed ones (%1)")
                       .arg(global.first().address));
}

// ---- a web service -----------------------------------------------------------------------

AddressAnswer askWeb(QString url, AddressFamily family, const QString& bindAddress,
                     std::chrono::milliseconds timeout) {
    url = url.trimmed();
    if (url.isEmpty())
        url = QString::fromLatin1(DefaultWebURL);
    const QUrl parsed(url, QUrl::StrictMode);
    // Messages name the service without a password or key that its address may carry.
    url = parsed.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return failure(QStringLiteral("the web address must start with https:// or http://"));

    HttpRequest request;
    request.url = parsed.toEncoded();
    request.limit = MaxWebAnswer;
    request.deadline = QDeadlineTimer(timeout);
    request.family = family;
    request.bindAddress = bindAddress;
    const HttpReply reply = HttpFetch(request);
    if (reply.tooLong)
        return failure(QStringLiteral("the answer from %1 is longer than an address (more than "
                                      "%2 KB)")
                           .arg(url)
                           .arg(MaxWebAnswer / 1024));
    if (!reply.error.isEmpty())
        return failure(QStringLiteral("no answer from %1 (%2)").arg(url, reply.error));
    if (reply.status < 200 || reply.status > 299)
        return failure(
            QStringLiteral("no answer from %1 (it answered HTTP %2)").arg(url).arg(reply.status));
    QString why;
    const QString address = StrictAddress(reply.body, family, url, &why);
    if (address.isEmpty())
        return failure(why);
    return {address, QString()};
}

} // namespace

std::optional<AddressSource> ParseAddressSource(const QString& name) {
    for (AddressSource s : {AddressSource::Local, AddressSource::Local6, AddressSource::Router,
                            AddressSource::Web, AddressSource::Auto})
        if (name.trimmed().compare(AddressSourceName(s), Qt::CaseInsensitive) == 0)
            return s;
    return std::nullopt;
}

QString AddressSourceName(AddressSource source) {
    switch (source) {
    case AddressSource::Local:
        return QStringLiteral("local");
    case AddressSource::Local6:
        return QStringLiteral("local6");
    case AddressSource::Router:
        return QStringLiteral("router");
    case AddressSource::Web:
        return QStringLiteral("web");
    case AddressSource::Auto:
        return QStringLiteral("auto");
    case AddressSource::NatPmp:
        return QStringLiteral("natpmp");
    case AddressSource::Stun:
        return QStringLiteral("stun");
    }
    return {};
}

AddressAnswer AskAddressSource(const AddressQuery& query) {
    switch (query.source) {
    case AddressSource::Local:
        return {LocalIP(), QString()};
    case AddressSource::Local6:
        return askLocal6(query.temporaryIPv6);
    case AddressSource::Router:
        return AskUpnpGateway(query.routerURL, query.timeout);
    case AddressSource::Web:
        return askWeb(query.webURL, query.family, query.bindAddress, query.timeout);
    case AddressSource::NatPmp:
        return AskNatPmp(query.routerURL, query.timeout);
    case AddressSource::Stun:
        return AskStun(query.stunServer, query.family, query.bindAddress, query.timeout);
    case AddressSource::Auto:
        break;
    }
    return failure(QStringLiteral("unknown address source"));
}

QString UnreachableReason(const QString& address) {
    QHostAddress ip;
    if (!ip.setAddress(address.trimmed()))
        return QStringLiteral("not an IP address");
    if (ip.protocol() == QAbstractSocket::IPv4Protocol)
        return reasonV4(ip.toIPv4Address());
    return reasonV6(ip.toIPv6Address());
}

QString StrictAddress(const QByteArray& reply, AddressFamily family, const QString& who,
                      QString* why) {
    const QByteArray text = reply.trimmed();
    const auto refuse = [&](const QString& reason) {
        if (why)
            *why = QStringLiteral("the answer from %1 %2").arg(who, reason);
        return QString();
    };
    if (text.isEmpty())
        return refuse(QStringLiteral("is empty"));
    const bool v6 = text.contains(':');
    if (!(v6 ? strictV6(text) : strictV4(text)))
        return refuse(QStringLiteral("is not an address (\"%1\")").arg(excerpt(text)));
    const QString address = QHostAddress(QString::fromLatin1(text)).toString();
    if (family == AddressFamily::IPv4 && v6)
        return refuse(
            QStringLiteral("is an IPv6 address (%1) where IPv4 was asked for").arg(address));
    if (family == AddressFamily::IPv6 && !v6)
        return refuse(
            QStringLiteral("is an IPv4 address (%1) where IPv6 was asked for").arg(address));
    return address;
}

} // namespace platform
