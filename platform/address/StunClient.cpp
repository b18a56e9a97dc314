#include "StunClient.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtEndian>

#include <algorithm>
#include <optional>

namespace platform {

namespace {

constexpr quint32 MagicCookie = 0x2112A442;
constexpr quint16 BindingRequest = 0x0001;
constexpr quint16 BindingSuccess = 0x0101;
constexpr quint16 BindingError = 0x0111;
constexpr quint16 MappedAddress = 0x0001;
constexpr quint16 XorMappedAddress = 0x0020;
constexpr quint16 ErrorCode = 0x0009;
// A binding response is well under a hundred bytes; a datagram past this is no answer.
constexpr qint64 MaxAnswer = 2 * 1024;

AddressAnswer failure(const QString& error) {
    return {QString(), error};
}

quint16 word(const QByteArray& b, qsizetype at) {
    return qFromBigEndian<quint16>(b.constData() + at);
}

// The mapped address in a binding success, or empty with the reason.
QString mappedAddress(const QByteArray& m, const QByteArray& transaction, QString* why) {
    QString plain;
    for (qsizetype at = 20; at + 4 <= m.size();) {
        const quint16 type = word(m, at);
        const quint16 length = word(m, at + 2);
        const qsizetype value = at + 4;
        if (value + length > m.size())
            break;
        const bool xored = type == XorMappedAddress;
        if ((xored || type == MappedAddress) && length >= 8) {
            const auto family = quint8(m[value + 1]);
            const qsizetype size = family == 0x01 ? 4 : family == 0x02 ? 16 : 0;
            if (size && length >= 4 + size) {
                QByteArray bytes = m.mid(value + 4, size);
                if (xored) {
                    const QByteArray mask = m.mid(4, 4) + transaction;
                    for (qsizetype i = 0; i < size; ++i)
                        bytes[i] = char(bytes[i] ^ mask[i]);
                }
                const QHostAddress ip =
                    size == 4 ? QHostAddress(qFromBigEndian<quint32>(bytes.constData()))
                              : QHostAddress(reinterpret_cast<const quint8*>(bytes.constData()));
                if (xored)
                    return ip.toString();
                plain = ip.toString();
            }
        }
        at = value + ((length + 3) & ~3);
    }
    if (plain.isEmpty())
        *why = QStringLiteral("holds no mapped address");
    return plain;
}

// One binding request and the server it goes to.
struct Exchange {
    QString name; // "the STUN server host:port", for messages
    AddressFamily family = AddressFamily::Any;
    QHostAddress target;
    quint16 port = 3478;
    QByteArray transaction;
    // The whole question, from looking the server up to its answer.
    std::chrono::milliseconds timeout{0};
    QDeadlineTimer deadline;
};

// The host and port of host:port, [v6 host]:port or host alone; false with the reason when it
// names no usable one.
bool splitServer(const QString& server, QString& host, quint16& port, QString& error) {
    host = server.trimmed();
    port = 3478;
    const qsizetype colon = host.lastIndexOf(QLatin1Char(':'));
    if (host.startsWith(QLatin1Char('[')) || host.count(QLatin1Char(':')) == 1) {
        if (colon > host.lastIndexOf(QLatin1Char(']'))) {
            bool ok = false;
            port = quint16(host.mid(colon + 1).toUInt(&ok));
            if (!ok || port == 0) {
                error = QStringLiteral("the STUN server %1 has no usable port").arg(server);
                return false;
            }
            host.truncate(colon);
        }
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
    }
    if (host.isEmpty()) {
        error = QStringLiteral("the STUN server \"%1\" has no host name").arg(server);
        return false;
    }
    return true;
}

// The server's address in the family of the exchange, the host looked up when it is a name.
bool findTarget(const QString& host, Exchange& x, QString& error) {
    const bool v6 = x.family == AddressFamily::IPv6;
    if (!x.target.setAddress(host)) {
        const QHostInfo info = QHostInfo::fromName(host);
        for (const QHostAddress& a : info.addresses())
            if (a.protocol() ==
                (v6 ? QAbstractSocket::IPv6Protocol : QAbstractSocket::IPv4Protocol)) {
                x.target = a;
                break;
            }
        if (x.target.isNull()) {
            error = QStringLiteral("%1 has no %2 address (%3)")
                        .arg(x.name, v6 ? QStringLiteral("IPv6") : QStringLiteral("IPv4"),
                             info.error() == QHostInfo::NoError ? QStringLiteral("none listed")
                                                                : info.errorString());
            return false;
        }
    }
    if ((x.target.protocol() == QAbstractSocket::IPv6Protocol) != v6) {
        error = QStringLiteral("%1 is not an %2 address")
                    .arg(x.name, v6 ? QStringLiteral("IPv6") : QStringLiteral("IPv4"));
        return false;
    }
    return true;
}

QByteArray bindingRequest(const QByteArray& transaction) {
    QByteArray request(8, '\0');
    qToBigEndian<quint16>(BindingRequest, request.data());
    qToBigEndian<quint32>(MagicCookie, request.data() + 4);
    return request + transaction;
}

// What a binding error response gives as its reason.
QString refusal(const QByteArray& m) {
    QString reason = QStringLiteral("refused the request");
    for (qsizetype at = 20; at + 8 <= m.size();) {
        const quint16 length = word(m, at + 2);
        if (word(m, at) == ErrorCode && at + 4 + length <= m.size() && length >= 4)
            reason += QStringLiteral(" (%1%2)")
                          .arg(int(m[at + 6] & 7))
                          .arg(int(quint8(m[at + 7])), 2, 10, QLatin1Char('0'));
        at += 4 + ((length + 3) & ~3);
    }
    return reason;
}

// What one datagram from the server comes to: the answer, or none yet with what was wrong
// with it in strange, as a later datagram may still be the answer.
std::optional<AddressAnswer> judge(const QByteArray& m, const Exchange& x, QString& strange) {
    if (m.size() < 20 || (quint8(m[0]) & 0xc0) ||
        qFromBigEndian<quint32>(m.constData() + 4) != MagicCookie || word(m, 2) != m.size() - 20 ||
        (m.size() % 4)) {
        strange = QStringLiteral("answered something that is not STUN");
        return std::nullopt;
    }
    if (m.mid(8, 12) != x.transaction) {
        strange = QStringLiteral("answered another request than ours");
        return std::nullopt;
    }
    if (word(m, 0) == BindingError)
        return failure(x.name + QLatin1Char(' ') + refusal(m));
    if (word(m, 0) != BindingSuccess) {
        strange = QStringLiteral("answered something that is not STUN");
        return std::nullopt;
    }
    QString why;
    const QString address = mappedAddress(m, x.transaction, &why);
    if (address.isEmpty())
        return failure(QStringLiteral("the answer from %1 %2").arg(x.name, why));
    QString strict;
    const QString checked = StrictAddress(address.toLatin1(), x.family, x.name, &strict);
    if (checked.isEmpty())
        return failure(strict);
    return AddressAnswer{checked, QString()};
}

// Sends the request and waits for the server's answer until the deadline. Sent again after
// half a second, then after twice as long each time, as UDP may lose it.
AddressAnswer exchange(QUdpSocket& socket, const Exchange& x) {
    const QByteArray request = bindingRequest(x.transaction);
    QString strange;
    qint64 wait = 500;
    QDeadlineTimer resend(0);
    for (;;) {
        if (x.deadline.hasExpired())
            break;
        if (resend.hasExpired()) {
            if (socket.writeDatagram(request, x.target, x.port) < 0 &&
                socket.error() != QAbstractSocket::TemporaryError) {
                strange = QStringLiteral("cannot be reached (%1)").arg(socket.errorString());
                break;
            }
            resend = QDeadlineTimer(wait);
            wait *= 2;
        }
        const qint64 left = std::min(x.deadline.remainingTime(), resend.remainingTime());
        if (!socket.waitForReadyRead(int(std::max<qint64>(left, 1))))
            continue;
        while (socket.hasPendingDatagrams()) {
            const qint64 size = socket.pendingDatagramSize();
            QByteArray m(MaxAnswer, Qt::Uninitialized);
            QHostAddress from;
            quint16 fromPort = 0;
            const qint64 n = socket.readDatagram(m.data(), m.size(), &from, &fromPort);
            if (n < 0)
                continue;
            // Only the server's own answer to this request counts.
            if (fromPort != x.port || !from.isEqual(x.target, QHostAddress::ConvertV4MappedToIPv4))
                continue;
            if (size > MaxAnswer) {
                strange =
                    QStringLiteral("answered with %1 bytes, more than any STUN answer").arg(size);
                continue;
            }
            m.truncate(n);
            if (const std::optional<AddressAnswer> answer = judge(m, x, strange))
                return *answer;
        }
    }
    if (!strange.isEmpty())
        return failure(x.name + QLatin1Char(' ') + strange);
    return failure(QStringLiteral("%1 gave no answer within %2 seconds")
                       .arg(x.name)
                       .arg((x.timeout.count() + 999) / 1000));
}

} // namespace

AddressAnswer AskStun(const QString& server, AddressFamily family, const QString& bindAddress,
                      std::chrono::milliseconds timeout) {
    Exchange x;
    x.timeout = timeout;
    x.deadline = QDeadlineTimer(timeout);
    QString host;
    QString error;
    if (!splitServer(server, host, x.port, error))
        return failure(error);
    x.name = QStringLiteral("the STUN server %1").arg(server.trimmed());
    x.family = family;
    if (!findTarget(host, x, error))
        return failure(error);

    const bool v6 = family == AddressFamily::IPv6;
    QUdpSocket socket;
    const QHostAddress local =
        bindAddress.isEmpty() ? QHostAddress(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4)
                              : QHostAddress(bindAddress);
    if (!socket.bind(local, 0))
        return failure(QStringLiteral("no socket for STUN (%1)").arg(socket.errorString()));
    x.transaction = QByteArray(12, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(x.transaction.data()), 3);
    AddressAnswer answer = exchange(socket, x);
    answer.server = x.target.toString();
    return answer;
}

} // namespace platform
