#include "UpnpGateway.h"

#include "HttpFetch.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringList>
#include <QUdpSocket>
#include <QUrl>

#include <miniupnpc/igd_desc_parse.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnperrors.h>

#include <algorithm>

namespace platform {

namespace {

// A router's description runs to a few KB; a device that sends on and on is cut off here.
constexpr qsizetype MaxDescription = 256 * 1024;
constexpr qsizetype MaxControlReply = 16 * 1024;
constexpr qint64 MaxSearchReply = 2 * 1024;
constexpr int MaxGateways = 8;

AddressAnswer failure(const QString& error) {
    return {QString(), error};
}

QString seconds(std::chrono::milliseconds timeout) {
    return QString::number((timeout.count() + 999) / 1000);
}

QString shown(const QString& url) {
    // Messages name the router without a password or key that its address may carry.
    return QUrl(url).toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
}

class IgdUrls {
public:
    IgdUrls() = default;
    ~IgdUrls() { FreeUPNPUrls(&urls); }
    IgdUrls(const IgdUrls&) = delete;
    IgdUrls& operator=(const IgdUrls&) = delete;

    UPNPUrls urls{};
    IGDdatas data{};
    QString descriptionURL;
};

// The description URLs that devices on the local network give in answer to an SSDP search
// for an internet gateway, first come first. The search is sent by hand so that nothing is
// said on standard error and no answer is read past a datagram's worth.
QStringList searchGateways(QDeadlineTimer deadline) {
    QStringList found;
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0))
        return found;
    socket.setSocketOption(QAbstractSocket::MulticastTtlOption, 2);
    const char* const targets[] = {
        "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
        "urn:schemas-upnp-org:device:InternetGatewayDevice:2",
        "urn:schemas-upnp-org:service:WANIPConnection:1",
        "urn:schemas-upnp-org:service:WANPPPConnection:1",
    };
    for (const char* target : targets) {
        const QByteArray search = QByteArray("M-SEARCH * HTTP/1.1\r\n"
                                             "HOST: 239.255.255.250:1900\r\n"
                                             "ST: ") +
                                  target + "\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\n\r\n";
        socket.writeDatagram(search, QHostAddress(QStringLiteral("239.255.255.250")), 1900);
    }
    static const QRegularExpression location(QStringLiteral("^location:\\s*(\\S+)\\s*$"),
                                             QRegularExpression::CaseInsensitiveOption |
                                                 QRegularExpression::MultilineOption);
    // Once one gateway has answered, the others get a moment more, not the whole search time.
    QDeadlineTimer end = deadline;
    while (found.size() < MaxGateways) {
        const qint64 left = end.remainingTime();
        if (left <= 0 || !socket.waitForReadyRead(int(left)))
            break;
        while (socket.hasPendingDatagrams()) {
            QByteArray datagram(MaxSearchReply, Qt::Uninitialized);
            const qint64 n = socket.readDatagram(datagram.data(), datagram.size());
            if (n <= 0)
                continue;
            datagram.truncate(n);
            const QString url =
                location.match(QString::fromLatin1(datagram).remove(QLatin1Char('\r'))).captured(1);
            if (url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) &&
                !found.contains(url))
                found << url;
        }
        if (!found.isEmpty() && end.remainingTime() > 300)
            end = QDeadlineTimer(300);
    }
    return found;
}

enum class Described { Gateway, NotGateway, NoAnswer };

Described describe(const QString& url, QDeadlineTimer deadline, IgdUrls& igd, QString* why) {
    igd.descriptionURL = url;
    HttpRequest request;
    request.url = url.toUtf8();
    request.limit = MaxDescription;
    request.deadline = deadline;
    request.plainOnly = true;
    const HttpReply reply = HttpFetch(request);
    if (reply.tooLong) {
        *why = QStringLiteral("the description at %1 is longer than a router's (more than "
                              "%2 KB)")
                   .arg(shown(url))
                   .arg(MaxDescription / 1024);
        return Described::NoAnswer;
    }
    if (!reply.error.isEmpty() || reply.status != 200) {
        *why = reply.timedOut ? QString()
               : reply.error.isEmpty()
                   ? QStringLiteral("no answer from the router at %1 (it answered HTTP %2)")
                         .arg(shown(url))
                         .arg(reply.status)
                   : QStringLiteral("no answer from the router at %1 (%2)")
                         .arg(shown(url), reply.error);
        return Described::NoAnswer;
    }
    parserootdesc(reply.body.constData(), int(reply.body.size()), &igd.data);
    if (!igd.data.first.servicetype[0] || !igd.data.first.controlurl[0]) {
        *why = QStringLiteral("the device at %1 is not an internet gateway").arg(shown(url));
        return Described::NotGateway;
    }
    const QByteArray base = url.toUtf8();
    GetUPNPUrls(&igd.urls, &igd.data, base.constData(), 0);
    if (!igd.urls.controlURL || !igd.urls.controlURL[0]) {
        *why = QStringLiteral("the device at %1 is not an internet gateway").arg(shown(url));
        return Described::NotGateway;
    }
    return Described::Gateway;
}

// The gateway's answer to GetExternalIPAddress: the address as it wrote it, or empty with the
// reason.
QByteArray externalAddress(const IgdUrls& igd, QDeadlineTimer deadline, QString* why,
                           bool* timedOut) {
    const QByteArray service(igd.data.first.servicetype);
    HttpRequest request;
    request.url = QByteArray(igd.urls.controlURL);
    request.limit = MaxControlReply;
    request.deadline = deadline;
    request.plainOnly = true;
    request.headers = {"Content-Type: text/xml; charset=\"utf-8\"",
                       "SOAPAction: \"" + service + "#GetExternalIPAddress\""};
    request.postBody = "<?xml version=\"1.0\"?>\r\n"
                       "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                       "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
                       "<u:GetExternalIPAddress xmlns:u=\"" +
                       service + "\"></u:GetExternalIPAddress></s:Body></s:Envelope>\r\n";
    const HttpReply reply = HttpFetch(request);
    *timedOut = reply.timedOut;
    const auto element = [&reply](const char* name) -> QByteArray {
        const QRegularExpression pattern(
            QStringLiteral("<(?:[A-Za-z0-9_.-]+:)?%1(?:\\s[^>]*)?>([^<]*)</").arg(name));
        return pattern.match(QString::fromLatin1(reply.body)).captured(1).toLatin1();
    };
    if (reply.tooLong) {
        *why = QStringLiteral("the router's answer is longer than any address (more than %1 KB)")
                   .arg(MaxControlReply / 1024);
        return {};
    }
    if (!reply.error.isEmpty()) {
        *why = QStringLiteral("the router did not tell its external address (%1)").arg(reply.error);
        return {};
    }
    if (reply.status == 200 && reply.body.contains("NewExternalIPAddress"))
        return element("NewExternalIPAddress").trimmed();
    const QByteArray code = element("errorCode").trimmed();
    const char* text = code.isEmpty() ? nullptr : strupnperror(code.toInt());
    const QString description = QString::fromLatin1(element("errorDescription")).trimmed();
    *why = QStringLiteral("the router did not tell its external address (%1)")
               .arg(text                     ? QString::fromLatin1(text)
                    : !description.isEmpty() ? description.left(80)
                    : !code.isEmpty()        ? QStringLiteral("UPnP error ") + code
                                             : QStringLiteral("HTTP %1").arg(reply.status));
    return {};
}

} // namespace

namespace {

// The gateway that routerURL describes, or else the first that answers a search of the local
// network, into igd. False, with the reason (empty when the router did not answer in time).
bool findGateway(const QString& routerURL, QDeadlineTimer deadline,
                 std::chrono::milliseconds timeout, IgdUrls& igd, QString* why) {
    const QString url = routerURL.trimmed();
    if (!url.isEmpty()) {
        if (!url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) {
            *why = QStringLiteral("the router's description address must start with http://");
            return false;
        }
        return describe(url, deadline, igd, why) == Described::Gateway;
    }
    // Routers answer a search within a second or two; the rest of the time is for asking.
    const auto searchTime = std::clamp<qint64>(timeout.count() / 4, 500, 2000);
    const QStringList found = searchGateways(QDeadlineTimer(searchTime));
    if (found.isEmpty()) {
        *why = QStringLiteral("no router answered the search for an internet gateway (UPnP)");
        return false;
    }
    for (const QString& candidate : found) {
        if (describe(candidate, deadline, igd, why) == Described::Gateway)
            return true;
        FreeUPNPUrls(&igd.urls);
        igd.urls = {};
        igd.data = {};
    }
    *why = QStringLiteral("the UPnP devices on the network include no internet gateway");
    return false;
}

} // namespace

AddressAnswer AskUpnpGateway(const QString& routerURL, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    const QString noAnswer =
        QStringLiteral("the router gave no answer within %1 seconds").arg(seconds(timeout));
    IgdUrls igd;
    QString why;
    if (!findGateway(routerURL, deadline, timeout, igd, &why))
        return failure(why.isEmpty() ? noAnswer : why);

    bool timedOut = false;
    const QByteArray external = externalAddress(igd, deadline, &why, &timedOut);
    if (timedOut)
        return failure(noAnswer);
    if (!why.isEmpty())
        return failure(why);
    if (external.isEmpty())
        return failure(QStringLiteral("the router has no external address"));
    const QString address =
        StrictAddress(external, AddressFamily::IPv4, QStringLiteral("the router"), &why);
    if (address.isEmpty())
        return failure(why);
    return {address, QString()};
}

UpnpEventPoint FindUpnpEventPoint(const QString& routerURL, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    IgdUrls igd;
    QString why;
    if (!findGateway(routerURL, deadline, timeout, igd, &why))
        return {QString(), why.isEmpty() ? QStringLiteral("the router gave no answer within %1 "
                                                          "seconds")
                                               .arg(seconds(timeout))
                                         : why};
    const QByteArray path(igd.data.first.eventsuburl);
    if (path.isEmpty())
        return {
            QString(),
            QStringLiteral("the router at %1 tells of no events").arg(shown(igd.descriptionURL))};
    // Relative to the description's base, as the control address is.
    const QUrl base(QString::fromUtf8(igd.data.urlbase[0] ? QByteArray(igd.data.urlbase)
                                                          : igd.descriptionURL.toUtf8()));
    const QUrl events = base.resolved(QUrl(QString::fromUtf8(path)));
    if (events.scheme() != QLatin1String("http") || events.host().isEmpty())
        return {QString(), QStringLiteral("the router at %1 tells of events at an address "
                                          "that is not http://")
                               .arg(shown(igd.descriptionURL))};
    return {events.toString(QUrl::FullyEncoded), QString()};
}

} // namespace platform
