#include "NatPmpListener.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QtEndian>

namespace platform {

namespace {

constexpr quint16 AnnouncementPort = 5350;
// The largest announcement either protocol sends is some dozens of bytes.
constexpr qint64 MaxDatagram = 1100;

} // namespace

std::optional<QString> ParseRouterAnnouncement(const QByteArray& datagram) {
    if (datagram.size() < 2 || quint8(datagram[1]) != 128)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const uchar*>(datagram.constData());
    switch (datagram[0]) {
    case 0: {
        if (datagram.size() < 12 || qFromBigEndian<quint16>(bytes + 2) != 0)
            return std::nullopt;
        const quint32 address = qFromBigEndian<quint32>(bytes + 8);
        return address == 0 ? QString() : QHostAddress(address).toString();
    }
    case 2:
        // A PCP answer's header is 24 bytes; ANNOUNCE carries nothing after it.
        return datagram.size() >= 24 ? std::optional<QString>(QString()) : std::nullopt;
    default:
        return std::nullopt;
    }
}

NatPmpListener::NatPmpListener(QObject* parent) : QObject(parent) {
    connect(&m_socket, &QUdpSocket::readyRead, this, &NatPmpListener::read);
}

bool NatPmpListener::Listen() {
    m_socket.close();
    m_problem.clear();
    // Other programs may listen for the same announcements.
    if (!m_socket.bind(QHostAddress(QHostAddress::AnyIPv4), AnnouncementPort,
                       QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        m_problem = QStringLiteral("NAT-PMP announcements cannot be heard (%1)")
                        .arg(m_socket.errorString());
        return false;
    }
    m_socket.setReadBufferSize(16 * MaxDatagram);
    if (!m_socket.joinMulticastGroup(QHostAddress(QStringLiteral("224.0.0.1")))) {
        m_problem = QStringLiteral("NAT-PMP announcements cannot be heard (%1)")
                        .arg(m_socket.errorString());
        m_socket.close();
        return false;
    }
    return true;
}

void NatPmpListener::read() {
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram(MaxDatagram);
        if (const std::optional<QString> address = ParseRouterAnnouncement(datagram.data()))
            emit announced(*address);
    }
}

} // namespace platform
