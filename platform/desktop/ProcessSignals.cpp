#include "ProcessSignals.h"

#if !defined(Q_OS_WIN)
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace platform {

#if !defined(Q_OS_WIN)

namespace {

constexpr int Taken[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1};

// The handler may do next to nothing: it cannot reach an object, only a descriptor. This is
// the one place the process keeps it; -1 while nobody listens.
volatile sig_atomic_t g_writeEnd = -1;

extern "C" void onSignal(int number) {
    const int saved = errno;
    const int fd = g_writeEnd;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(number);
        // A full pipe already holds a byte that wakes the loop; one more would tell nothing.
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

struct ProcessSignals::Native {
    int fds[2] = {-1, -1};
    struct sigaction previous[std::size(Taken)] = {};
    bool installed = false;
    QString problem;
    std::unique_ptr<QSocketNotifier> notifier;

    ~Native() {
        if (installed) {
            for (size_t i = 0; i < std::size(Taken); ++i)
                ::sigaction(Taken[i], &previous[i], nullptr);
            g_writeEnd = -1;
        }
        notifier.reset();
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
};

ProcessSignals::ProcessSignals(QObject* parent) : QObject(parent), m_native(new Native) {
    Native& n = *m_native;
    if (g_writeEnd >= 0) {
        n.problem = QStringLiteral("the signals are taken already");
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, n.fds) != 0) {
        n.problem = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    g_writeEnd = n.fds[0];
    for (size_t i = 0; i < std::size(Taken); ++i) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        // A system call that the signal cuts short goes on, as if nothing had come.
        action.sa_flags = SA_RESTART;
        ::sigaction(Taken[i], &action, &n.previous[i]);
    }
    n.installed = true;
    n.notifier = std::make_unique<QSocketNotifier>(n.fds[1], QSocketNotifier::Read);
    connect(n.notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char bytes[64];
        ssize_t got = 0;
        while ((got = ::read(m_native->fds[1], bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                switch (bytes[i]) {
                case SIGTERM:
                case SIGINT:
                    emit stopRequested();
                    break;
                case SIGHUP:
                    emit reloadRequested();
                    break;
                case SIGUSR1:
                    emit publishRequested();
                    break;
                default:
                    break;
                }
            }
        }
    });
}

ProcessSignals::~ProcessSignals() = default;

bool ProcessSignals::IsListening() const {
    return m_native->installed;
}

QString ProcessSignals::Problem() const {
    return m_native->problem;
}

#else

struct ProcessSignals::Native {};

ProcessSignals::ProcessSignals(QObject* parent) : QObject(parent), m_native(new Native) {}

ProcessSignals::~ProcessSignals() = default;

bool ProcessSignals::IsListening() const {
    return false;
}

QString ProcessSignals::Problem() const {
    return QStringLiteral("Windows sends no signals");
}

#endif

} // namespace platform
