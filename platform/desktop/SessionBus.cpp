#include "SessionBus.h"

#include <QAtomicInteger>
#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QMap>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

using namespace std::chrono_literals;

// Any bus answers at once; one that has not within this time is stuck, and the toolkit would
// wait for it without end while it greets it.
constexpr auto AnswerWait = 3s;

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

// The address of a bus left out for not answering: no bus library connects to it, nor waits.
constexpr char LeftOut[] = "disabled:";

QString nextName() {
    static QAtomicInteger<int> counter;
    return QStringLiteral("vantrell-session-%1").arg(counter.fetchAndAddRelaxed(1));
}

class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

bool waitFor(int fd, short events, const QDeadlineTimer& deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, int(deadline.remainingTime()));
        if (ready >= 0 || errno != EINTR)
            return ready == 1;
    }
}

// A socket connected to the address, or -1.
int connectTo(const sockaddr* address, socklen_t length, const QDeadlineTimer& deadline) {
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, address, length) == 0)
        return fd;
    int error = errno;
    if (error == EINPROGRESS && waitFor(fd, POLLOUT, deadline)) {
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
    }
    if (error == 0)
        return fd;
    ::close(fd);
    return -1;
}

// One entry of a bus address, "unix:path=/run/user/1000/bus,guid=...": a socket connected to
// it, -1 when it cannot be reached, or nothing when it is of a kind that is not reached
// through a socket here (one that starts a program, say).
std::optional<int> connectEntry(const QByteArray& entry, const QDeadlineTimer& deadline) {
    const qsizetype colon = entry.indexOf(':');
    const QByteArray transport = entry.left(colon);
    QMap<QByteArray, QByteArray> keys;
    for (const QByteArray& pair : entry.mid(colon + 1).split(',')) {
        const qsizetype equals = pair.indexOf('=');
        if (equals > 0)
            keys.insert(pair.left(equals), QByteArray::fromPercentEncoding(pair.mid(equals + 1)));
    }
    if (transport == "unix" && (keys.contains("path") || keys.contains("abstract"))) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const bool abstract = !keys.contains("path");
        const QByteArray name = abstract ? keys.value("abstract") : keys.value("path");
        const size_t offset = abstract ? 1 : 0;
        if (name.size() + offset + 1 > sizeof address.sun_path)
            return -1;
        std::memcpy(address.sun_path + offset, name.constData(), size_t(name.size()));
        const auto length =
            socklen_t(offsetof(sockaddr_un, sun_path) + offset + name.size() + (abstract ? 0 : 1));
        return connectTo(reinterpret_cast<const sockaddr*>(&address), length, deadline);
    }
    if (transport == "tcp" && keys.contains("port")) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_family = keys.value("family") == "ipv6"   ? AF_INET6
                          : keys.value("family") == "ipv4" ? AF_INET
                                                           : AF_UNSPEC;
        addrinfo* found = nullptr;
        const QByteArray host = keys.value("host", "localhost");
        if (::getaddrinfo(host.constData(), keys.value("port").constData(), &hints, &found) != 0)
            return -1;
        int fd = -1;
        for (const addrinfo* a = found; a && fd < 0; a = a->ai_next)
            fd = connectTo(a->ai_addr, a->ai_addrlen, deadline);
        ::freeaddrinfo(found);
        return fd;
    }
    return std::nullopt;
}

// The bus's greeting of a newcomer as the toolkit makes it, sent at once: the login by the
// process's own user, then the method call that every connection begins with
// (org.freedesktop.DBus.Hello), in the bus's own byte layout.
QByteArray greeting() {
    QByteArray m = QByteArray("\0AUTH EXTERNAL ", 15) +
                   QByteArray::number(qulonglong(::getuid())).toHex() + "\r\nBEGIN\r\n";
    const qsizetype start = m.size();
    const auto align = [&](int to) {
        while ((m.size() - start) % to != 0)
            m += '\0';
    };
    const auto u32 = [&](quint32 v) {
        align(4);
        m += QByteArray(reinterpret_cast<const char*>(&v), 4);
    };
    // little-endian, method call, no flags, version 1, no body, serial 1
    m += QByteArray("l\x01\x00\x01", 4);
    u32(0);
    u32(1);
    u32(0); // the length of the header fields, filled in below
    const qsizetype fieldsStart = m.size();
    const struct {
        char code;
        char type;
        const char* value;
    } fields[] = {{1, 'o', "/org/freedesktop/DBus"},
                  {6, 's', "org.freedesktop.DBus"},
                  {2, 's', "org.freedesktop.DBus"},
                  {3, 's', "Hello"}};
    for (const auto& f : fields) {
        align(8);
        m += f.code;
        m += QByteArray("\x01", 1) + f.type + '\0';
        u32(quint32(std::strlen(f.value)));
        m += QByteArray(f.value, qsizetype(std::strlen(f.value)) + 1);
    }
    const auto fieldsLength = quint32(m.size() - fieldsStart);
    std::memcpy(m.data() + fieldsStart - 4, &fieldsLength, 4);
    align(8);
    return m;
}

// Whether a bus behind the socket answers the login and the greeting within the deadline.
bool answers(int fd, const QDeadlineTimer& deadline) {
    const QByteArray hello = greeting();
    qsizetype sent = 0;
    while (sent < hello.size()) {
        if (!waitFor(fd, POLLOUT, deadline))
            return false;
        const ssize_t n =
            ::send(fd, hello.constData() + sent, size_t(hello.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        sent += n > 0 ? n : 0;
    }
    // "OK <guid>" and the reply's first bytes; a bus that refuses the login says so at once.
    QByteArray heard;
    while (waitFor(fd, POLLIN, deadline)) {
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        heard.append(buffer, n);
        if (heard.startsWith("REJECTED") || heard.startsWith("ERROR"))
            return true;
        const qsizetype line = heard.indexOf("\r\n");
        if (line >= 0 && heard.size() > line + 2)
            return true;
    }
    return false;
}

// Why the bus at the address cannot be used now (empty when it answers), and whether it kept
// the wait going to its end: a bus that the toolkit would wait on for ever.
struct BusCheck {
    QString problem;
    bool silent = false;
};

// Each entry is tried in order, as the bus library does, for no longer than AnswerWait in all.
BusCheck checkBus(const QString& address) {
    const QDeadlineTimer deadline(AnswerWait);
    bool reached = false;
    for (const QByteArray& entry : address.toUtf8().split(';')) {
        if (entry.trimmed().isEmpty())
            continue;
        const std::optional<int> fd = connectEntry(entry.trimmed(), deadline);
        if (!fd)
            return {QStringLiteral("the session bus address %1 is not one this program uses")
                        .arg(QString::fromUtf8(entry.left(entry.indexOf(':') + 1)))};
        if (*fd < 0)
            continue;
        reached = true;
        const Socket socket(*fd);
        if (answers(socket.fd(), deadline))
            return {};
        break;
    }
    if (!reached)
        return {
            QStringLiteral("the session bus does not answer (nothing listens at %1)").arg(address),
            deadline.hasExpired()};
    return {QStringLiteral("the session bus does not answer (it took the connection and said "
                           "nothing within %1 s)")
                .arg(std::chrono::seconds(AnswerWait).count()),
            deadline.hasExpired()};
}

} // namespace

SessionBus::SessionBus() : m_name(nextName()), m_connection(m_name) {
    const QString address = busAddress();
    if (address.isEmpty()) {
        m_problem = QStringLiteral("no session bus is reachable (DBUS_SESSION_BUS_ADDRESS is not "
                                   "set)");
        return;
    }
    if (address == QLatin1String(LeftOut)) {
        m_problem = QStringLiteral("the session bus is left out: it did not answer when the "
                                   "program started");
        return;
    }
    // The toolkit's connecting has no time limit of its own.
    m_problem = checkBus(address).problem;
    if (!m_problem.isEmpty())
        return;
    m_connection = QDBusConnection::connectToBus(address, m_name);
    if (!m_connection.isConnected())
        m_problem = QStringLiteral("the session bus does not answer (%1)")
                        .arg(m_connection.lastError().message());
}

QString LeaveOutSilentSessionBus() {
    const QString address = busAddress();
    if (address.isEmpty() || address == QLatin1String(LeftOut))
        return {};
    const BusCheck check = checkBus(address);
    if (!check.silent)
        return {};
    // Set rather than taken away: the bus library would find the same bus in $XDG_RUNTIME_DIR.
    qputenv("DBUS_SESSION_BUS_ADDRESS", LeftOut);
    return check.problem;
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
