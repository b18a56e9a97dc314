#include "AddressSource.h"

#include "AppInfo.h"
#include "LocalIP.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QUrl>

#include <curl/curl.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace platform {

namespace {

using namespace std::chrono_literals;

// An answer longer than this is no bare address; what came before it is still searched.
constexpr qsizetype MaxWebAnswer = 64 * 1024;

AddressAnswer failure(const QString& error) {
    return {QString(), error};
}

// ---- what the internet can reach ----------------------------------------------------------

const char* const PrivateHint = "a private address, which only the local network can reach";
const char* const LinkLocalHint =
    "a link-local address, which only the local network segment can reach";
const char* const LoopbackHint = "a loopback address, which only this machine can reach";
const char* const NoAddressHint = "no address at all";

// Only the ranges that machines, routers and providers hand out, or answer with when they have
// nothing better, are marked; documentation ranges and the like never come from a real source.
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
    if (in(0xF0000000, 4))
        return QStringLiteral("a reserved address");
    return {};
}

QString reasonV6(const Q_IPV6ADDR& a) {
    bool zeroUpTo10 = true;
    for (int i = 0; i < 10; ++i)
        zeroUpTo10 = zeroUpTo10 && a[i] == 0;
    if (zeroUpTo10 && a[10] == 0xff && a[11] == 0xff) // an IPv4 address written as IPv6
        return reasonV4(quint32(a[12]) << 24 | quint32(a[13]) << 16 | quint32(a[14]) << 8 |
                        quint32(a[15]));
    if (zeroUpTo10 && a[10] == 0 && a[11] == 0 && a[12] == 0 && a[13] == 0 && a[14] == 0)
        return a[15] == 1   ? QString::fromLatin1(LoopbackHint)
               : a[15] == 0 ? QString::fromLatin1(NoAddressHint)
                            : QString();
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

// ---- this machine ------------------------------------------------------------------------

AddressAnswer askLocal6() {
    for (const QNetworkAddressEntry& entry : ActiveAddressEntries()) {
        const QHostAddress ip = entry.ip();
        // A temporary address changes by itself within a day, and a deprecated one is on its
        // way out: neither is one to publish.
        if (ip.protocol() != QAbstractSocket::IPv6Protocol || entry.isTemporary() ||
            (entry.isLifetimeKnown() && entry.preferredLifetime().hasExpired()))
            continue;
        if (reasonV6(ip.toIPv6Address()).isEmpty())
            return {ip.toString(), QString()};
    }
    return failure(QStringLiteral("this machine has no global IPv6 address"));
}

// ---- a web service -----------------------------------------------------------------------

struct EasyCleanup {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};

void initCurlOnce() {
    // Never cleaned up: a lookup that overran its time-out may still be using it at exit.
    static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialized);
}

struct Body {
    QByteArray bytes;
    bool cut = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<Body*>(user);
    const qsizetype room = MaxWebAnswer - body->bytes.size();
    const qsizetype n = qsizetype(size * count);
    body->bytes.append(data, qMin(n, room));
    if (n > room) {
        body->cut = true;
        return 0;
    }
    return size * count;
}

// The first whole IPv4 address (four dotted decimals) or IPv6 address in the text, in its
// usual written form; empty when there is none.
QString firstAddress(const QByteArray& text) {
    static const QRegularExpression candidate(QStringLiteral("[0-9A-Fa-f:.]+"));
    static const QRegularExpression dottedQuad(
        QStringLiteral("^[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}$"));
    const QString s = QString::fromLatin1(text);
    auto it = candidate.globalMatch(s);
    while (it.hasNext()) {
        QString word = it.next().captured();
        // Punctuation around an address in a sentence ("IP:1.2.3.4.") is not part of it.
        while (word.endsWith(QLatin1Char('.')))
            word.chop(1);
        if (word.startsWith(QLatin1Char(':')) && !word.startsWith(QLatin1String("::")))
            word.remove(0, 1);
        if (word.endsWith(QLatin1Char(':')) && !word.endsWith(QLatin1String("::")))
            word.chop(1);
        const bool v4 = dottedQuad.match(word).hasMatch();
        if (!v4 && word.count(QLatin1Char(':')) < 2)
            continue;
        QHostAddress ip;
        if (!ip.setAddress(word))
            continue;
        if (v4 ? ip.protocol() == QAbstractSocket::IPv4Protocol
               : ip.protocol() == QAbstractSocket::IPv6Protocol)
            return ip.toString();
    }
    return {};
}

AddressAnswer askWeb(QString url, std::chrono::milliseconds timeout) {
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

    initCurlOnce();
    std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
    if (!curl)
        return failure(QStringLiteral("the web client could not start"));
    Body body;
    char message[CURL_ERROR_SIZE] = {};
    const QByteArray urlBytes = parsed.toEncoded();
    const QByteArray agent = QStringLiteral("Vantrell/%1.%2.%3")
                                 .arg(App::Major)
                                 .arg(App::Minor)
                                 .arg(App::Revision)
                                 .toLatin1();
    // A service reached over HTTPS must not be able to send us on to plain HTTP.
    const char* redirects = scheme == QLatin1String("https") ? "https" : "http,https";
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(timeout.count()));
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 3L);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, redirects);
#else
    curl_easy_setopt(h, CURLOPT_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS,
                     scheme == QLatin1String("https") ? long(CURLPROTO_HTTPS)
                                                      : long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    Q_UNUSED(redirects);
#endif
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.constData());

    const CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && body.cut)) {
        const QString why = message[0] ? QString::fromLocal8Bit(message).trimmed()
                                       : QString::fromLatin1(curl_easy_strerror(code));
        return failure(QStringLiteral("no answer from %1 (%2)").arg(url, why));
    }
    const QString address = firstAddress(body.bytes);
    if (address.isEmpty())
        return failure(QStringLiteral("the answer from %1 holds no IP address").arg(url));
    return {address, QString()};
}

// ---- the router --------------------------------------------------------------------------

struct DeviceListCleanup {
    void operator()(UPNPDev* list) const { freeUPNPDevlist(list); }
};

class IgdUrls {
public:
    IgdUrls() = default;
    ~IgdUrls() { FreeUPNPUrls(&urls); }
    IgdUrls(const IgdUrls&) = delete;
    IgdUrls& operator=(const IgdUrls&) = delete;

    UPNPUrls urls{};
    IGDdatas data{};
};

AddressAnswer askRouter(const QString& routerURL, std::chrono::milliseconds timeout) {
    IgdUrls igd;
    char lanAddress[64] = {};
    const QString url = routerURL.trimmed();
    if (!url.isEmpty()) {
        if (!url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
            return failure(QStringLiteral("the router's description address must start "
                                          "with http://"));
        const QByteArray urlBytes = url.toUtf8();
        // Messages name the router without a password or key that its address may carry.
        const QString shown = QUrl(url).toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
        if (!UPNP_GetIGDFromUrl(urlBytes.constData(), &igd.urls, &igd.data, lanAddress,
                                int(sizeof lanAddress)))
            return failure(QStringLiteral("no answer from the router at %1").arg(shown));
        if (!igd.data.first.servicetype[0] || !igd.urls.controlURL || !igd.urls.controlURL[0])
            return failure(
                QStringLiteral("the device at %1 is not an internet gateway").arg(shown));
    } else {
        // Routers answer a search within a second or two; the rest of the time is for asking.
        const int searchTime = int(std::clamp<qint64>(timeout.count() / 4, 500, 2000));
        int error = 0;
        std::unique_ptr<UPNPDev, DeviceListCleanup> devices(
            upnpDiscover(searchTime, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error));
        if (!devices)
            return failure(QStringLiteral("no router answered the search for an internet "
                                          "gateway (UPnP)"));
#if MINIUPNPC_API_VERSION >= 18
        char wanAddress[64] = {};
        const int found =
            UPNP_GetValidIGD(devices.get(), &igd.urls, &igd.data, lanAddress,
                             int(sizeof lanAddress), wanAddress, int(sizeof wanAddress));
#else
        const int found = UPNP_GetValidIGD(devices.get(), &igd.urls, &igd.data, lanAddress,
                                           int(sizeof lanAddress));
#endif
        // Any gateway will do, even one that calls itself unconnected: what it answers is
        // judged like any other answer.
        if (found <= 0 || !igd.data.first.servicetype[0])
            return failure(QStringLiteral("the UPnP devices on the network include no "
                                          "internet gateway"));
    }

    char external[64] = {};
    const int result =
        UPNP_GetExternalIPAddress(igd.urls.controlURL, igd.data.first.servicetype, external);
    if (result != 0) {
        const char* text = strupnperror(result);
        return failure(QStringLiteral("the router did not tell its external address (%1)")
                           .arg(text ? QString::fromLatin1(text)
                                     : QStringLiteral("UPnP error %1").arg(result)));
    }
    const QString answer = QString::fromLatin1(external).trimmed();
    QHostAddress ip;
    if (answer.isEmpty() || !ip.setAddress(answer))
        return failure(QStringLiteral("the router has no external address"));
    return {ip.toString(), QString()};
}

} // namespace

std::optional<AddressSource> ParseAddressSource(const QString& name) {
    for (AddressSource s :
         {AddressSource::Local, AddressSource::Local6, AddressSource::Router, AddressSource::Web})
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
    }
    return {};
}

AddressAnswer AskAddressSource(const AddressQuery& query) {
    switch (query.source) {
    case AddressSource::Local:
        return {LocalIP(), QString()};
    case AddressSource::Local6:
        return askLocal6();
    case AddressSource::Router:
        return askRouter(query.routerURL, query.timeout);
    case AddressSource::Web:
        return askWeb(query.webURL, query.timeout);
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

} // namespace platform
