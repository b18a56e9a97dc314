#include "NatPmpClient.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QUrl>

#if defined(Q_OS_WIN)
#include <QUdpSocket>
#include <QtEndian>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#else
#define ENABLE_STRNATPMPERR
#include <natpmp.h>

#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#endif

#include <algorithm>

namespace platform {

namespace {

AddressAnswer failure(const QString& error) {
    return {QString(), error};
}

// The router whose description the user gave is the one to ask: its address goes into router,
// which stays null when there is none and the gateway is to be asked. Why it cannot be asked,
// or empty.
QString routerToAsk(const QString& routerURL, QHostAddress& router) {
    const QString host = QUrl(routerURL.trimmed()).host();
    if (host.isEmpty())
        return QString();
    QHostAddress ip;
    if (!ip.setAddress(host)) {
        for (const QHostAddress& a : QHostInfo::fromName(host).addresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                ip = a;
                break;
            }
    }
    if (ip.protocol() != QAbstractSocket::IPv4Protocol)
        return QStringLiteral("the router %1 has no IPv4 address to ask over NAT-PMP").arg(host);
    router = ip;
    return QString();
}

AddressAnswer externalAddress(quint32 address) {
    const QHostAddress external(address);
    if (external.toIPv4Address() == 0)
        return failure(QStringLiteral("the router has no external address (NAT-PMP)"));
    return {external.toString(), QString()};
}

QString noAnswer(std::chrono::milliseconds timeout) {
    return QStringLiteral("the router gave no answer over NAT-PMP within %1 seconds")
        .arg((timeout.count() + 999) / 1000);
}

#if !defined(Q_OS_WIN)

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

// libnatpmp reads an answer's fields whatever its length: one shorter than the twelve bytes
// of an address answer would give an address made of whatever its buffer held before. Such a
// datagram is taken off the socket unread; true when there was one.
bool droppedShortAnswer(int socket) {
    unsigned char answer[16];
    const ssize_t size = ::recv(socket, answer, sizeof answer, MSG_PEEK | MSG_DONTWAIT);
    if (size < 0 || size >= 12)
        return false;
    (void)!::recv(socket, answer, sizeof answer, MSG_DONTWAIT);
    return true;
}

QString why(int code) {
    const char* text = strnatpmperr(code);
    return text ? QString::fromLatin1(text) : QStringLiteral("error %1").arg(code);
}

#endif

} // namespace

#if defined(Q_OS_WIN)

// libnatpmp is not built for Windows; the question is one datagram to the router's port 5351
// and its answer twelve bytes, asked again after 250 ms, 500 ms, ... as the protocol wants.
AddressAnswer AskNatPmp(const QString& routerURL, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    QHostAddress router;
    if (const QString error = routerToAsk(routerURL, router); !error.isEmpty())
        return failure(error);
    if (router.isNull()) {
        MIB_IPFORWARDROW route{};
        if (GetBestRoute(0, 0, &route) != NO_ERROR || route.dwForwardNextHop == 0)
            return failure(QStringLiteral("there is no default gateway to ask over NAT-PMP"));
        router = QHostAddress(qFromBigEndian(quint32(route.dwForwardNextHop)));
    }
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::AnyIPv4, 0))
        return failure(QStringLiteral("NAT-PMP could not start (%1)").arg(socket.errorString()));
    const QByteArray question(2, '\0');
    int wait = 250;
    while (!deadline.hasExpired()) {
        if (socket.writeDatagram(question, router, 5351) != question.size())
            return failure(QStringLiteral("the router could not be asked over NAT-PMP (%1)")
                               .arg(socket.errorString()));
        const QDeadlineTimer retry(std::min<qint64>(wait, deadline.remainingTime()));
        while (!retry.hasExpired() &&
               socket.waitForReadyRead(int(std::max<qint64>(retry.remainingTime(), 1)))) {
            QHostAddress from;
            QByteArray answer(int(socket.pendingDatagramSize()), '\0');
            socket.readDatagram(answer.data(), answer.size(), &from);
            // Anyone may send to the port; only the router's answer to this question counts.
            if (from.toIPv4Address() != router.toIPv4Address() || answer.size() < 12 ||
                answer[0] != 0 || quint8(answer[1]) != 128)
                continue;
            const quint16 result = qFromBigEndian<quint16>(answer.constData() + 2);
            if (result != 0)
                return failure(QStringLiteral("the router did not tell its external address "
                                              "over NAT-PMP (result code %1)")
                                   .arg(result));
            return externalAddress(qFromBigEndian<quint32>(answer.constData() + 8));
        }
        wait *= 2;
    }
    return failure(noAnswer(timeout));
}

#else

AddressAnswer AskNatPmp(const QString& routerURL, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    QHostAddress router;
    if (const QString error = routerToAsk(routerURL, router); !error.isEmpty())
        return failure(error);
    const bool force = !router.isNull();
    const in_addr_t gateway = force ? htonl(router.toIPv4Address()) : 0;

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
        if (select(int(natpmp.handle.s) + 1, &ready, nullptr, nullptr, &wait) > 0 &&
            droppedShortAnswer(natpmp.handle.s)) {
            result = NATPMP_TRYAGAIN;
            continue;
        }
        result = readnatpmpresponseorretry(&natpmp.handle, &response);
    } while (result == NATPMP_TRYAGAIN);
    if (result == NATPMP_TRYAGAIN)
        return failure(noAnswer(timeout));
    if (result != 0)
        return failure(QStringLiteral("the router did not tell its external address over NAT-PMP "
                                      "(%1)")
                           .arg(why(result)));
    if (response.type != NATPMP_RESPTYPE_PUBLICADDRESS)
        return failure(QStringLiteral("the router answered another question over NAT-PMP"));
    return externalAddress(ntohl(response.pnu.publicaddress.addr.s_addr));
}

#endif

} // namespace platform
