#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>

#include <chrono>

namespace platform {

// A connection of our own to the user's session bus, closed again when it goes. The bus is
// the one DBUS_SESSION_BUS_ADDRESS names, or else $XDG_RUNTIME_DIR/bus; never one started for
// the occasion (a run from cron would otherwise leave a bus daemon behind).
class SessionBus {
public:
    SessionBus();
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    bool IsConnected() const { return m_connection.isConnected(); }
    // Why there is no connection, as one sentence without a full stop.
    QString Problem() const { return m_problem; }

    // Sends a method call and waits at most `timeout` for its reply (an error reply when none
    // came, or when there is no bus).
    QDBusMessage Call(const QDBusMessage& call, std::chrono::milliseconds timeout) const;

private:
    QString m_name;
    QDBusConnection m_connection;
    QString m_problem;
};

// The toolkit connects to the session bus by itself under a desktop (its accessibility bridge,
// its theme), with no time limit, as does any program this one starts: a bus that takes the
// connection and never answers holds them for ever. Asks the bus once, for a few seconds at
// most; when it keeps silent, it is left out for the rest of the process and the programs it
// starts, and every use here says so. Why, or empty when the bus answers or there is none to
// wait on.
QString LeaveOutSilentSessionBus();

} // namespace platform
