#include "NatPmpClient.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QUrl>

#define ENABLE_STRNATPMPERR
#include <natpmp.h>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <sys/select.h>
#endif

#include <algorithm>

namespace platform {

namespace {

AddressAnswer failure(const QString& error) {
    return {QString(), error};
}

class NatPmpHandle {
public:
    NatPmpHandle() = default;
    ~NatPmpHandle() {
        if (m_open)
            closenatpmp(&handle);
    }
    NatPmpHandle(const NatPmpHandle&) = delete;
    NatPmpHandle& operator=(const NatPmpHandle&) = delete;

    int open(bool forceGateway, in_addr_t gateway) {
        const int result = initnatpmp(&handle, forceGateway ? 1 : 0, gateway);
        m_open = result == 0;
        return result;
    }

    natpmp_t handle{};

private:
    bool m_open = false;
};

QString why(int code) {
    const char* text = strnatpmperr(code);
    return text ? QString::fromLatin1(text) : QStringLiteral("error %1").arg(code);
}

} // namespace

AddressAnswer AskNatPmp(const QString& routerURL, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    // The router whose description the user gave is the one to ask; otherwise the gateway.
    bool force = false;
    in_addr_t gateway = 0;
    const QString host = QUrl(routerURL.trimmed()).host();
    if (!host.isEmpty()) {
        QHostAddress ip;
        if (!ip.setAddress(host)) {
            for (const QHostAddress& a : QHostInfo::fromName(host).addresses())
                if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                    ip = a;
                    break;
                }
        }
        if (ip.protocol() != QAbstractSocket::IPv4Protocol)
            return failure(
                QStringLiteral("the router %1 has no IPv4 address to ask over NAT-PMP").arg(host));
        force = true;
        gateway = htonl(ip.toIPv4Address());
    }

    NatPmpHandle natpmp;
    int result = natpmp.open(force, gateway);
    if (result == NATPMP_ERR_CANNOTGETGATEWAY)
        return failure(QStringLiteral("there is no default gateway to ask over NAT-PMP"));
    if (result != 0)
        return failure(QStringLiteral("NAT-PMP could not start (%1)").arg(why(result)));
    result = sendpublicaddressrequest(&natpmp.handle);
    if (result < 0)
        return failure(
            QStringLiteral("the router could not be asked over NAT-PMP (%1)").arg(why(result)));
    natpmpresp_t response{};
    do {
        timeval wait{};
        getnatpmprequesttimeout(&natpmp.handle, &wait);
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        const qint64 waitMs =
            std::min<qint64>(qint64(wait.tv_sec) * 1000 + wait.tv_usec / 1000, left);
        wait.tv_sec = long(waitMs / 1000);
        wait.tv_usec = long(waitMs % 1000) * 1000;
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(natpmp.handle.s, &ready);
        select(int(natpmp.handle.s) + 1, &ready, nullptr, nullptr, &wait);
        result = readnatpmpresponseorretry(&natpmp.handle, &response);
    } while (result == NATPMP_TRYAGAIN);
    if (result == NATPMP_TRYAGAIN)
        return failure(QStringLiteral("the router gave no answer over NAT-PMP within %1 seconds")
                           .arg((timeout.count() + 999) / 1000));
    if (result != 0)
        return failure(QStringLiteral("the router did not tell its external address over NAT-PMP "
                                      "(%1)")
                           .arg(why(result)));
    if (response.type != NATPMP_RESPTYPE_PUBLICADDRESS)
        return failure(QStringLiteral("the router answered another question over NAT-PMP"));
    const QHostAddress external(ntohl(response.pnu.publicaddress.addr.s_addr));
    if (external.toIPv4Address() == 0)
        return failure(QStringLiteral("the router has no external address (NAT-PMP)"));
    return {external.toString(), QString()};
}

} // namespace platform
