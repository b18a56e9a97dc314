#include "SshGreeting.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <thread>

#if !defined(Q_OS_WIN)
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace platform::inet {

#if defined(Q_OS_WIN)

void SshGreeting::install(CURL*) {}

curl_socket_t SshGreeting::open(void*, curlsocktype, curl_sockaddr*) {
    return CURL_SOCKET_BAD;
}

int SshGreeting::configure(void*, curl_socket_t, curlsocktype) {
    return CURL_SOCKOPT_OK;
}

#else

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An SSH server says its line as soon as it takes the connection; this leaves room for one far
// away or busy.
constexpr auto GreetingWait = 5s;
// A connection that takes longer is left to curl, which connects anew within its own limit.
constexpr auto ConnectWait = 10s;

int millisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Whether the socket is ready for `events` before the deadline.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, millisecondsUntil(deadline));
        if (ready >= 0 || errno != EINTR)
            return ready == 1;
    }
}

bool connectWithin(int fd, const sockaddr* address, socklen_t length) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    if (::connect(fd, address, length) == 0)
        return true;
    if (errno != EINPROGRESS || !waitFor(fd, POLLOUT, Clock::now() + ConnectWait))
        return false;
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// A reply as FTP, SMTP and their kin give one: three digits, then a space or a dash.
bool numberedReply(const QByteArray& line) {
    return line.size() >= 4 &&
           std::all_of(line.begin(), line.begin() + 3,
                       [](char c) { return c >= '0' && c <= '9'; }) &&
           (line[3] == ' ' || line[3] == '-');
}

// Printable, short, on one line: for a message.
QString shown(const QByteArray& line) {
    QString text;
    for (const char c : line.left(80))
        text += (c >= ' ' && c < 0x7f) ? QChar::fromLatin1(c) : QChar(u'?');
    return text.trimmed();
}

enum class FirstWords { Ssh, NumberedReply, Nothing };

// What the server says first, without taking it from the socket. Lines before the SSH line
// are allowed; anything the SSH library should judge for itself counts as SSH here.
FirstWords firstWords(int fd, QByteArray* firstLine) {
    const Clock::time_point deadline = Clock::now() + GreetingWait;
    qsizetype seen = 0;
    while (waitFor(fd, POLLIN, deadline)) {
        char bytes[512];
        const ssize_t got = ::recv(fd, bytes, sizeof bytes, MSG_PEEK);
        if (got <= 0)
            return FirstWords::Ssh; // closed, or an error the library will name
        const QByteArray said(bytes, got);
        if (said.startsWith("SSH-") || said.contains("\nSSH-"))
            return FirstWords::Ssh;
        const qsizetype end = said.indexOf('\n');
        if (end >= 0 && numberedReply(said.left(end))) {
            *firstLine = said.left(end);
            return FirstWords::NumberedReply;
        }
        if (got == ssize_t(sizeof bytes))
            return FirstWords::Ssh;
        // What has come stays readable until taken; wait a moment for more rather than spin.
        if (got == seen)
            std::this_thread::sleep_for(20ms);
        seen = got;
    }
    return seen == 0 ? FirstWords::Nothing : FirstWords::Ssh;
}

} // namespace

void SshGreeting::install(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &SshGreeting::open);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &SshGreeting::configure);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
}

curl_socket_t SshGreeting::open(void* data, curlsocktype purpose, curl_sockaddr* address) {
    auto* self = static_cast<SshGreeting*>(data);
    const auto makeSocket = [address] {
        return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    };
    const int fd = makeSocket();
    if (fd < 0 || purpose != CURLSOCKTYPE_IPCXN)
        return fd;
    if (!connectWithin(fd, &address->addr, address->addrlen)) {
        ::close(fd);
        // curl tries again with a socket of its own, and says what went wrong as it always does.
        return makeSocket();
    }
    QByteArray said;
    switch (firstWords(fd, &said)) {
    case FirstWords::Ssh:
        self->m_connected.push_back(fd);
        return fd;
    case FirstWords::NumberedReply:
        self->m_problem =
            QStringLiteral("no SSH greeting from %1, is it an FTP server? It said: %2")
                .arg(self->m_hostAndPort, shown(said));
        break;
    case FirstWords::Nothing:
        self->m_problem =
            QStringLiteral("no SSH greeting from %1 within %2 seconds, is it an SSH server?")
                .arg(self->m_hostAndPort)
                .arg(std::chrono::seconds(GreetingWait).count());
        break;
    }
    ::close(fd);
    return CURL_SOCKET_BAD;
}

int SshGreeting::configure(void* data, curl_socket_t socket, curlsocktype) {
    auto* self = static_cast<SshGreeting*>(data);
    const auto made = std::find(self->m_connected.begin(), self->m_connected.end(), socket);
    if (made == self->m_connected.end())
        return CURL_SOCKOPT_OK;
    self->m_connected.erase(made);
    return CURL_SOCKOPT_ALREADY_CONNECTED;
}

#endif

} // namespace platform::inet
