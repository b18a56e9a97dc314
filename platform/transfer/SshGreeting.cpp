#include "SshGreeting.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <optional>
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

bool SshGreeting::hear(int, const std::atomic<bool>*) {
    return true;
}

void SshGreeting::turnedAway(const QByteArray&) {}

#else

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An SSH server says its line as soon as it takes the connection; this leaves room for one far
// away or busy.
constexpr auto GreetingWait = 5s;
// A connection that takes longer is left to curl, which connects anew within its own limit.
constexpr auto ConnectWait = 10s;
// A server sends its first packet right after its line.
constexpr auto PacketWait = 300ms;

int millisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Whether the socket is ready for `events` before the deadline; in `closed`, whether the
// server has closed its side.
bool waitFor(int fd, short events, Clock::time_point deadline, bool* closed = nullptr) {
    for (;;) {
        pollfd p{fd, short(events | POLLRDHUP), 0};
        const int ready = ::poll(&p, 1, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (closed)
            *closed = ready == 1 && (p.revents & (POLLRDHUP | POLLHUP));
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

quint32 bigEndian(const QByteArray& bytes, qsizetype at) {
    quint32 value = 0;
    for (qsizetype i = at; i < at + 4; ++i)
        value = (value << 8) | quint8(bytes[i]);
    return value;
}

// The first packet after the SSH line, while it is still in the clear: a server that turns the
// connection away (too many at once) says why in a message of its own (SSH_MSG_DISCONNECT),
// which the SSH library takes for a failed key exchange. Its text, or nothing when the packet
// is another.
std::optional<QByteArray> turnedAway(const QByteArray& packet) {
    // length, padding length, message number 1, reason code, then the text as a string
    if (packet.size() < 6 || packet[5] != 1)
        return std::nullopt;
    if (packet.size() < 14)
        return QByteArray();
    return packet.mid(14, qsizetype(std::min<quint32>(bigEndian(packet, 10), 200)));
}

enum class FirstWords { Ssh, NumberedReply, TurnedAway, Other, Nothing };

struct Heard {
    FirstWords words = FirstWords::Nothing;
    QByteArray said{};   // the first line, or the text of the server's refusal
    bool closed = false; // the server closed the connection after it
};

QByteArray firstLine(const QByteArray& said) {
    const qsizetype end = said.indexOf('\n');
    return end < 0 ? said : said.left(end);
}

// What the words so far come to; nothing while more may tell. `full`: as many bytes as are
// looked at. Once the SSH line is there, the server's first packet is waited for a moment
// longer (until `packetDue`): a server sends it at once, without waiting for the client.
std::optional<Heard> judge(const QByteArray& said, bool closed, bool full,
                           std::optional<Clock::time_point>& packetDue,
                           std::chrono::milliseconds packetWait) {
    if (const qsizetype ssh = said.startsWith("SSH-") ? 0 : said.indexOf("\nSSH-");
        ssh >= 0 && said.indexOf('\n', ssh + 1) >= 0) {
        const QByteArray packet = said.mid(said.indexOf('\n', ssh + 1) + 1);
        if (const std::optional<QByteArray> why = turnedAway(packet))
            return Heard{FirstWords::TurnedAway, *why, closed};
        if (packet.size() >= 6 || closed || full)
            return Heard{FirstWords::Ssh};
        if (!packetDue)
            packetDue = Clock::now() + packetWait;
        return std::nullopt;
    }
    if (full)
        return Heard{FirstWords::Ssh};
    const QByteArray line = firstLine(said);
    if (line.size() < said.size() && numberedReply(line))
        return Heard{FirstWords::NumberedReply, line};
    // The server is gone without a greeting: it will say no more.
    if (closed)
        return Heard{FirstWords::Other, line, true};
    return std::nullopt;
}

// What the server says first, without taking it from the socket, within GreetingWait however
// much keeps coming. Lines before the SSH line are allowed; anything the SSH library should
// judge for itself counts as SSH here.
Heard firstWords(int fd, const std::atomic<bool>* abandon = nullptr,
                 std::chrono::milliseconds packetWait = PacketWait) {
    const Clock::time_point deadline = Clock::now() + GreetingWait;
    std::optional<Clock::time_point> packetDue;
    QByteArray said;
    for (;;) {
        bool closed = false;
        const Clock::time_point until = std::min(deadline, packetDue.value_or(deadline));
        // A glance at a time, while someone may call the whole thing off.
        if (!waitFor(fd, POLLIN, abandon ? std::min(until, Clock::now() + 100ms) : until,
                     &closed)) {
            if (abandon && !*abandon && Clock::now() < until)
                continue;
            break;
        }
        char bytes[512];
        const ssize_t got = ::recv(fd, bytes, sizeof bytes, MSG_PEEK);
        if (got <= 0)
            return {FirstWords::Ssh}; // closed without a word, or an error the library names
        const bool grew = got != said.size();
        said = QByteArray(bytes, got);
        if (std::optional<Heard> heard =
                judge(said, closed, got == ssize_t(sizeof bytes), packetDue, packetWait))
            return *heard;
        if (Clock::now() >= std::min(deadline, packetDue.value_or(deadline)))
            break;
        // What has come stays readable until taken; wait a moment for more rather than spin.
        if (!grew)
            std::this_thread::sleep_for(20ms);
    }
    if (packetDue)
        return {FirstWords::Ssh};
    if (said.isEmpty())
        return {FirstWords::Nothing};
    return {FirstWords::Other, firstLine(said)};
}

// Why the connection is given up, for a person; empty for a greeting.
QString problemOf(const Heard& heard, const QString& hostAndPort) {
    const long seconds = long(std::chrono::seconds(GreetingWait).count());
    switch (heard.words) {
    case FirstWords::Ssh:
        break;
    case FirstWords::NumberedReply:
        return QStringLiteral("no SSH greeting from %1, is it an FTP server? It said: %2")
            .arg(hostAndPort, shown(heard.said));
    case FirstWords::TurnedAway:
        return QStringLiteral("%1 turned the connection away, as a server does that takes no more "
                              "connections from here at once: %2")
            .arg(hostAndPort, shown(heard.said));
    case FirstWords::Other:
        if (heard.closed)
            return QStringLiteral("%1 closed the connection without an SSH greeting (as a busy "
                                  "server does); it said: %2")
                .arg(hostAndPort, shown(heard.said));
        return QStringLiteral("no SSH greeting from %1 within %2 seconds; it said: %3")
            .arg(hostAndPort)
            .arg(seconds)
            .arg(shown(heard.said));
    case FirstWords::Nothing:
        return QStringLiteral("no SSH greeting from %1 within %2 seconds, is it an SSH server?")
            .arg(hostAndPort)
            .arg(seconds);
    }
    return {};
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
    const Heard heard = firstWords(fd);
    self->m_problem = problemOf(heard, self->m_hostAndPort);
    if (heard.words == FirstWords::Ssh) {
        self->m_connected.push_back(fd);
        return fd;
    }
    ::close(fd);
    return CURL_SOCKET_BAD;
}

// The SSH library that takes the connection from here tells a refusal after the line itself
// (turnedAway()): its first packet is not waited for, which OpenSSH sends only once it has the
// client's line.
bool SshGreeting::hear(int socket, const std::atomic<bool>* abandon) {
    const Heard heard = firstWords(socket, abandon, std::chrono::milliseconds(0));
    m_problem = problemOf(heard, m_hostAndPort);
    return heard.words == FirstWords::Ssh;
}

void SshGreeting::turnedAway(const QByteArray& why) {
    m_problem = problemOf({FirstWords::TurnedAway, why}, m_hostAndPort);
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
