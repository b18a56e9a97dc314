#include "AddressSource.h"

#include "HttpFetch.h"
#include "LocalIP.h"
#include "NatPmpClient.h"
#include "ServerText.h"
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
        if (UnreachableReason(candidate.address).isEmpty())
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
    return {address, QString(), reply.server};
}

AddressAnswer askSource(const AddressQuery& query) {
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
    // What a router or a service said reaches a person as text.
    AddressAnswer answer = askSource(query);
    answer.error = AsPlainText(answer.error);
    return answer;
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
