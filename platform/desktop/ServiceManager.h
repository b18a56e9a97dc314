#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

namespace platform {

// The service manager that started the program, where it wants to hear how the program is
// doing: systemd's notification socket ($NOTIFY_SOCKET, a datagram socket; a name that starts
// with '@' is an abstract one) and its watchdog ($WATCHDOG_USEC, for $WATCHDOG_PID when that
// is set). Started by anything else, it hears nothing and nothing is sent. Nothing on Windows.
class ServiceManager {
public:
    ServiceManager();
    ~ServiceManager();
    ServiceManager(const ServiceManager&) = delete;
    ServiceManager& operator=(const ServiceManager&) = delete;

    // Whether a manager listens.
    bool IsListening() const { return !m_address.isEmpty(); }

    // Sends the lines ("READY=1", "WATCHDOG=1", "STATUS=...", "STOPPING=1"), one datagram.
    // False when nobody listens or the datagram could not be sent.
    bool Notify(const QByteArray& lines);

    // How often the watchdog wants to hear from the program: half the time after which the
    // manager gives up on it. Zero when it wants nothing.
    std::chrono::milliseconds WatchdogInterval() const { return m_watchdog; }

private:
    QByteArray m_address;
    int m_socket = -1;
    std::chrono::milliseconds m_watchdog{0};
};

} // namespace platform
