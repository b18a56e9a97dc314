#include "ServiceManager.h"

#include <QtGlobal>

#include <algorithm>

#if !defined(Q_OS_WIN)
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace platform {

#if !defined(Q_OS_WIN)

ServiceManager::ServiceManager() {
    const QByteArray address = qgetenv("NOTIFY_SOCKET");
    // A path or an abstract name, which must fit the socket address with its terminator.
    if (address.size() < 2 || address.size() >= qsizetype(sizeof(sockaddr_un::sun_path)) ||
        (address[0] != '/' && address[0] != '@'))
        return;
    m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0)
        return;
    m_address = address;

    bool ok = false;
    const qint64 usec = qEnvironmentVariable("WATCHDOG_USEC").toLongLong(&ok);
    // The watchdog may be meant for another process, the one that started this one.
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    const bool ours = pid.isEmpty() || pid.toLongLong() == qint64(::getpid());
    if (ok && usec > 0 && ours)
        m_watchdog = std::chrono::milliseconds(std::max<qint64>(usec / 2000, 1));
}

ServiceManager::~ServiceManager() {
    if (m_socket >= 0)
        ::close(m_socket);
}

bool ServiceManager::Notify(const QByteArray& lines) {
    if (m_address.isEmpty())
        return false;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, m_address.constData(), size_t(m_address.size()));
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_address.size()));
    if (m_address[0] == '@')
        to.sun_path[0] = '\0';
    else
        ++length; // the path's terminator
    return ::sendto(m_socket, lines.constData(), size_t(lines.size()), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&to), length) == lines.size();
}

#else

ServiceManager::ServiceManager() = default;
ServiceManager::~ServiceManager() = default;

bool ServiceManager::Notify(const QByteArray&) {
    return false;
}

#endif

} // namespace platform
