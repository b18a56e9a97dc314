// A replacing publish over a slow link, beside `curl -T` doing the plain upload over the same
// link: plain FTP (pyftpdlib), FTP with explicit TLS (ProFTPD) and SFTP (OpenSSH's sshd, with
// and without 2000 other files beside the page).
//
// The link is a relay on loopback: it holds every byte for half a round trip in each direction,
// and each new connection for a whole one (what the handshake of TCP costs), before passing it
// on. The servers' data connections pass through it as well: they listen on 127.0.0.1, the relay
// on 127.0.0.3 with the same ports, and the programs are pointed at 127.0.0.3.
//
// usage: bench_latency <path of vantrell> [round trip in milliseconds, 50]

#include "FtpServer.h"
#include "ProftpdServer.h"
#include "SshdServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* RelayAddress = "127.0.0.3";

int listenOn(const char* address, quint16 port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address, &sa.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connectTo(quint16 port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Holds every byte for `oneWay` and every new connection for twice that, on one thread.
class Relay {
public:
    explicit Relay(std::chrono::milliseconds oneWay) : m_oneWay(oneWay) {}
    ~Relay() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (const Listener& l : m_listeners)
            close(l.fd);
        for (Pipe& p : m_pipes)
            p.closeBoth();
    }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Passes connections to RelayAddress:listenPort (0: any free port) on to 127.0.0.1:target.
    // The port listened on, 0 when it could not.
    quint16 forward(quint16 listenPort, quint16 target) {
        const int fd = listenOn(RelayAddress, listenPort);
        if (fd < 0)
            return 0;
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        m_listeners.push_back({fd, target});
        return ntohs(sa.sin_port);
    }

    void start() {
        m_thread = std::thread([this] { run(); });
    }

private:
    struct Listener {
        int fd;
        quint16 target;
    };
    struct Chunk {
        Clock::time_point due;
        std::string bytes; // empty: the end of the stream
    };
    struct Pipe {
        int fd[2] = {-1, -1}; // the client's side, the server's
        quint16 target = 0;
        Clock::time_point connectAt;
        std::deque<Chunk> toward[2];    // bytes on their way to fd[i]
        bool ended[2] = {false, false}; // fd[i] has said it sends no more
        bool done = false;
        void closeBoth() {
            for (int& f : fd) {
                if (f >= 0)
                    close(f);
                f = -1;
            }
        }
    };

    void run() {
        while (!m_stop) {
            std::vector<pollfd> fds;
            for (const Listener& l : m_listeners)
                fds.push_back({l.fd, POLLIN, 0});
            const Clock::time_point now = Clock::now();
            Clock::time_point next = now + 100ms;
            for (Pipe& p : m_pipes) {
                if (p.fd[1] < 0) {
                    next = std::min(next, p.connectAt);
                    continue;
                }
                for (int side = 0; side < 2; ++side) {
                    short events = p.ended[side] ? 0 : POLLIN;
                    if (!p.toward[side].empty()) {
                        if (p.toward[side].front().due <= now)
                            events |= POLLOUT;
                        else
                            next = std::min(next, p.toward[side].front().due);
                    }
                    fds.push_back({p.fd[side], events, 0});
                }
            }
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
            poll(fds.data(), fds.size(), int(std::max<long>(0, wait.count() + 1)));

            size_t i = 0;
            for (const Listener& l : m_listeners) {
                if (fds[i++].revents & POLLIN) {
                    const int client =
                        accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client >= 0) {
                        Pipe p;
                        p.fd[0] = client;
                        p.target = l.target;
                        p.connectAt = Clock::now() + 2 * m_oneWay;
                        m_pipes.push_back(std::move(p));
                    }
                }
            }
            for (Pipe& p : m_pipes) {
                if (p.fd[1] < 0) {
                    if (Clock::now() >= p.connectAt) {
                        p.fd[1] = connectTo(p.target);
                        if (p.fd[1] < 0)
                            p.done = true;
                    }
                    continue;
                }
                if (i + 2 > fds.size())
                    break; // came in during this round
                for (int side = 0; side < 2; ++side) {
                    const short revents = fds[i++].revents;
                    if (revents & (POLLIN | POLLHUP | POLLERR))
                        receive(p, side);
                }
                for (int side = 0; side < 2; ++side)
                    deliver(p, side);
                if (p.ended[0] && p.ended[1] && p.toward[0].empty() && p.toward[1].empty())
                    p.done = true;
            }
            for (auto it = m_pipes.begin(); it != m_pipes.end();) {
                if (it->done) {
                    it->closeBoth();
                    it = m_pipes.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    void receive(Pipe& p, int side) {
        if (p.ended[side])
            return;
        char buffer[65536];
        const ssize_t got = read(p.fd[side], buffer, sizeof buffer);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        const Clock::time_point due = Clock::now() + m_oneWay;
        if (got <= 0) {
            p.ended[side] = true;
            p.toward[1 - side].push_back({due, {}});
            return;
        }
        p.toward[1 - side].push_back({due, std::string(buffer, size_t(got))});
    }

    void deliver(Pipe& p, int side) {
        std::deque<Chunk>& queue = p.toward[side];
        while (!queue.empty() && queue.front().due <= Clock::now()) {
            Chunk& c = queue.front();
            if (c.bytes.empty()) {
                shutdown(p.fd[side], SHUT_WR);
                queue.pop_front();
                continue;
            }
            const ssize_t sent = send(p.fd[side], c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    return;
                p.done = true; // the other side is gone: so is this one
                return;
            }
            c.bytes.erase(0, size_t(sent));
            if (!c.bytes.empty())
                return;
            queue.pop_front();
        }
    }

    std::chrono::milliseconds m_oneWay;
    std::vector<Listener> m_listeners;
    std::list<Pipe> m_pipes;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A range of ports free on both addresses, for the servers' data connections.
std::pair<quint16, quint16> freePortRange(int count) {
    for (quint16 base = 41000; base < 60000; base += quint16(count)) {
        bool free = true;
        std::vector<int> probes;
        for (int i = 0; i < count && free; ++i) {
            for (const char* address : {"127.0.0.1", RelayAddress}) {
                const int fd = listenOn(address, quint16(base + i));
                free = free && fd >= 0;
                if (fd >= 0)
                    probes.push_back(fd);
            }
        }
        for (int fd : probes)
            close(fd);
        if (free)
            return {base, quint16(base + count - 1)};
    }
    return {0, 0};
}

double timed(const QString& program, const QStringList& arguments, const QProcessEnvironment& env,
             int* failures) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        ++*failures;
    return double(clock.nsecsElapsed()) / 1e9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool writeText(const QString& path, const QByteArray& text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

struct Setup {
    QString work;
    QString templatePath;
    QString page; // what curl uploads: the page as vantrell generates it
};

// The unattended publish, start to exit, as a scheduler runs it.
QProcessEnvironment environment(const Setup& s) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("HOME"), s.work);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), s.work + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), s.work + QStringLiteral("/state"));
    env.insert(QStringLiteral("windir"), s.work + QStringLiteral("/win"));
    return env;
}

bool configure(const Setup& s, const QString& site, const QString& user, const QString& password,
               const QString& trusted = {}) {
    return writeText(
        s.work + QStringLiteral("/config/TallyhostUpdater.ini"),
        QStringLiteral("[FTP]\nFTPSite=%1\nPassword=%3\nTrustedCertificate=%5\nUploadFileName=page."
                       "htm\nUserName=%2\n\n[HTML]\nHTMLTemplate=%4\nIPParseField=%Tallyhost%\n"
                       "UploadDir=\n")
            .arg(site, user, password, s.templatePath, trusted)
            .toUtf8());
}

void compare(const char* what, const QString& vantrell, const Setup& s, const QString& curl,
             const QStringList& curlArguments, const char* goal) {
    const QProcessEnvironment env = environment(s);
    int failures = 0;
    // Both pages exist before the turns that count: each turn replaces a page.
    timed(vantrell, {QStringLiteral("/A")}, env, &failures);
    timed(curl, curlArguments, env, &failures);
    failures = 0;
    std::vector<double> ours, theirs;
    for (int i = 0; i < 3; ++i) {
        ours.push_back(timed(vantrell, {QStringLiteral("/A")}, env, &failures));
        theirs.push_back(timed(curl, curlArguments, env, &failures));
    }
    const double a = median(ours), b = median(theirs);
    std::printf("%-40s vantrell %.3f s, curl -T %.3f s, ratio %.2f (goal %s)%s\n", what, a, b,
                a / b, goal, failures ? ", SOME RUNS FAILED" : "");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_latency <path of vantrell> [round trip in ms]\n");
        return 2;
    }
#ifdef VANTRELL_FTP_SERVER_SCRIPT
    if (qEnvironmentVariableIsEmpty("VANTRELL_FTP_SERVER"))
        qputenv("VANTRELL_FTP_SERVER", VANTRELL_FTP_SERVER_SCRIPT);
#endif
    const QString vantrell = QString::fromLocal8Bit(argv[1]);
    const int roundTrip = argc > 2 ? std::max(1, atoi(argv[2])) : 50;
    const QString curl = QStringLiteral("curl");

    QTemporaryDir tmp;
    Setup s;
    s.work = tmp.path();
    QDir(s.work).mkpath(QStringLiteral("config"));
    QDir(s.work).mkpath(QStringLiteral("win/temp"));
    QDir(s.work).mkpath(QStringLiteral(".ssh"));
    s.templatePath = s.work + QStringLiteral("/template.htm");
    QByteArray page = "<html><body><p>Reach me at %Tallyhost%</p>\n";
    while (page.size() < 4096)
        page += "<p>Some ordinary text of the page.</p>\n";
    writeText(s.templatePath, page + "</body></html>\n");
    s.page = s.work + QStringLiteral("/curl.htm");
    writeText(s.page, page);

    const auto ports = freePortRange(16);
    if (ports.first == 0) {
        std::fprintf(stderr, "no free ports for the data connections\n");
        return 1;
    }
    std::printf("replacing publish of a 4 KB page at %d ms round trip, each the median of 3 "
                "turns\n",
                roundTrip);

    Relay relay(std::chrono::milliseconds(roundTrip / 2));
    for (quint16 p = ports.first; p <= ports.second; ++p)
        relay.forward(p, p);

    FtpServer ftp;
    if (!ftp.start({.passivePorts = QStringLiteral("%1-%2").arg(ports.first).arg(ports.second)})) {
        std::fprintf(stderr, "FTP server: %s\n", qPrintable(ftp.errorString()));
        return 1;
    }
    ProftpdServer proftpd;
    proftpd.setPassivePorts(ports.first, ports.second);
    if (!proftpd.start()) {
        std::fprintf(stderr, "ProFTPD: %s\n", qPrintable(proftpd.errorString()));
        return 1;
    }
    std::unique_ptr<SshdServer> sshd;
    if (SshdServer::unavailable().isEmpty()) {
        sshd = std::make_unique<SshdServer>();
        if (!sshd->start()) {
            std::fprintf(stderr, "sshd: %s\n", qPrintable(sshd->errorString()));
            sshd.reset();
        }
    }
    const quint16 ftpPort = relay.forward(0, ftp.port());
    const quint16 ftpesPort = relay.forward(0, proftpd.port(ProftpdServer::Ftpes));
    const quint16 sftpPort = sshd ? relay.forward(0, sshd->port()) : 0;
    relay.start();

    const QString host = QString::fromLatin1(RelayAddress);
    const auto login = [](const auto& server) {
        return server.user() + u':' + server.password();
    };

    configure(s, QStringLiteral("%1:%2").arg(host).arg(ftpPort), ftp.user(), ftp.password());
    compare("plain FTP (pyftpdlib)", vantrell, s, curl,
            {"-sS", "--user", login(ftp), "-T", s.page,
             QStringLiteral("ftp://%1:%2/curl.htm").arg(host).arg(ftpPort)},
            "<= 1.15");

    configure(s, QStringLiteral("ftpes://%1:%2").arg(host).arg(ftpesPort), proftpd.user(),
              proftpd.password(), proftpd.certificateFingerprint());
    compare("FTPES (ProFTPD)", vantrell, s, curl,
            {"-sS", "-k", "--ssl-reqd", "--user", login(proftpd), "-T", s.page,
             QStringLiteral("ftp://%1:%2/curl.htm").arg(host).arg(ftpesPort)},
            "<= 1.15");

    if (!sshd) {
        std::printf("SFTP: %s\n", qPrintable(SshdServer::unavailable()));
        return 0;
    }
    writeText(s.work + QStringLiteral("/.ssh/known_hosts"),
              sshd->knownHostsLine(SshdServer::Ed25519)
                      .replace(QStringLiteral("127.0.0.1]:%1").arg(sshd->port()),
                               QStringLiteral("%1]:%2").arg(host).arg(sftpPort))
                      .toUtf8() +
                  '\n');
    configure(s, QStringLiteral("sftp://%1:%2").arg(host).arg(sftpPort), sshd->user(),
              sshd->password());
    const QStringList sftpCurl = {
        "-sS",
        "-k",
        "--user",
        login(*sshd),
        "-T",
        s.page,
        QStringLiteral("sftp://%1:%2/~/curl.htm").arg(host).arg(sftpPort)};
    compare("SFTP (OpenSSH)", vantrell, s, curl, sftpCurl, "<= 1.2");
    for (int i = 0; i < 2000; ++i) {
        const QString other =
            sshd->root() + QStringLiteral("/other%1.htm").arg(i, 4, 10, QChar(u'0'));
        writeText(other, "x");
    }
    compare("SFTP (OpenSSH), 2000 files beside", vantrell, s, curl, sftpCurl, "<= 1.2");
    return 0;
}
