#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUdpSocket>

#include <optional>

namespace platform {

// What a datagram to port 5350 says, when it is a router's announcement that its external
// address changed: NAT-PMP's (version 0, opcode 128, result 0, twelve bytes or more) gives the
// new address, "" when the router has none; PCP's (version 2, ANNOUNCE answered) tells only
// that something changed, "". Nothing for anything else, a shorter datagram included.
std::optional<QString> ParseRouterAnnouncement(const QByteArray& datagram);

// Hears the announcements that routers multicast to 224.0.0.1:5350 when their external
// address changes. Anyone on the network can send one; it only ever makes the program look.
class NatPmpListener : public QObject {
    Q_OBJECT
public:
    explicit NatPmpListener(QObject* parent = nullptr);

    // Takes the port and joins the group, again after the machine's network changed (the
    // interface it joined on may be gone). False, with Problem(), when it cannot.
    bool Listen();
    QString Problem() const { return m_problem; }

signals:
    // externalAddress: what the router says its address is now; empty when it does not say.
    void announced(const QString& externalAddress);

private:
    void read();

    QUdpSocket m_socket;
    QString m_problem;
};

} // namespace platform
