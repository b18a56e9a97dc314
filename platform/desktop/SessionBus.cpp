#include "SessionBus.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFileInfo>

#include <chrono>

namespace platform {

namespace {

QString busAddress() {
    const QString named = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!named.isEmpty())
        return named;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!QDir::isAbsolutePath(runtime))
        return {};
    const QString socket = runtime + QStringLiteral("/bus");
    return QFileInfo::exists(socket) ? QStringLiteral("unix:path=") + socket : QString();
}

QString nextName() {
    static QAtomicInteger<int> counter;
    return QStringLiteral("vantrell-session-%1").arg(counter.fetchAndAddRelaxed(1));
}

} // namespace

SessionBus::SessionBus() : m_name(nextName()), m_connection(m_name) {
    const QString address = busAddress();
    if (address.isEmpty()) {
        m_problem = QStringLiteral("no session bus is reachable (DBUS_SESSION_BUS_ADDRESS is not "
                                   "set)");
        return;
    }
    m_connection = QDBusConnection::connectToBus(address, m_name);
    if (!m_connection.isConnected())
        m_problem = QStringLiteral("the session bus does not answer (%1)")
                        .arg(m_connection.lastError().message());
}

SessionBus::~SessionBus() {
    QDBusConnection::disconnectFromBus(m_name);
}

QDBusMessage SessionBus::Call(const QDBusMessage& call, std::chrono::milliseconds timeout) const {
    if (!IsConnected())
        return call.createErrorReply(QDBusError::Disconnected, m_problem);
    return QDBusConnection(m_connection)
        .call(call, QDBus::Block, int(std::chrono::milliseconds(timeout).count()));
}

} // namespace platform
