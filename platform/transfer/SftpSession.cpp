#include "HostKeyTrust.h"
#include "SftpConnection.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace platform::inet {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a wait goes before it looks again whether it is still wanted.
constexpr auto Glance = 100ms;

void initOnce() {
    static const int once = libssh2_init(0);
    (void)once;
}

// Answers every prompt of a keyboard-interactive login with the password, as curl does.
void answerPrompts(const char*, int, const char*, int, int count,
                   const LIBSSH2_USERAUTH_KBDINT_PROMPT*, LIBSSH2_USERAUTH_KBDINT_RESPONSE* answers,
                   void** abstract) {
    const QByteArray& password = static_cast<SftpSession::Connection*>(*abstract)->password;
    for (int i = 0; i < count; ++i) {
        // The library frees the answers with free().
        auto* text = static_cast<char*>(std::malloc(size_t(password.size()) + 1));
        if (text)
            std::memcpy(text, password.constData(), size_t(password.size()) + 1);
        answers[i].text = text;
        answers[i].length = text ? unsigned(password.size()) : 0;
    }
}

// The system's look-up of a host name cannot be stopped, and a name server that never answers
// holds it for the resolver's own time-outs (half a minute and more): it runs in a thread of
// its own, left to finish alone once nobody waits for it, so that Cancel and the limits hold.
struct HostLookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int result = EAI_FAIL;
    addrinfo* found = nullptr;

    HostLookup() = default;
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;
    ~HostLookup() {
        if (found)
            freeaddrinfo(found);
    }
};

std::shared_ptr<HostLookup> startLookup(const QByteArray& host, const QByteArray& port) {
    auto lookup = std::make_shared<HostLookup>();
    std::thread([lookup, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int result = getaddrinfo(host.constData(), port.constData(), &hints, &found);
        std::lock_guard lock(lookup->mutex);
        lookup->result = result;
        lookup->found = found;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    return lookup;
}

// An SFTP status as curl reads it.
CURLcode codeOf(unsigned long status) {
    switch (status) {
    case LIBSSH2_FX_NO_SUCH_FILE:
    case LIBSSH2_FX_NO_SUCH_PATH:
        return CURLE_REMOTE_FILE_NOT_FOUND;
    case LIBSSH2_FX_PERMISSION_DENIED:
    case LIBSSH2_FX_WRITE_PROTECT:
    case LIBSSH2_FX_LOCK_CONFLICT:
        return CURLE_REMOTE_ACCESS_DENIED;
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM:
    case LIBSSH2_FX_QUOTA_EXCEEDED:
        return CURLE_REMOTE_DISK_FULL;
    case LIBSSH2_FX_FILE_ALREADY_EXISTS:
        return CURLE_REMOTE_FILE_EXISTS;
    default:
        return CURLE_SSH;
    }
}

// A server that takes no more connections from here says so in its first packet, before the
// key exchange; the handshake then fails without a word of its own.
void disconnected(LIBSSH2_SESSION*, int, const char* message, int length, const char*, int,
                  void** abstract) {
    auto* connection = static_cast<SftpSession::Connection*>(*abstract);
    if (!connection->session || !libssh2_userauth_authenticated(connection->session.get()))
        connection->greeting.turnedAway(QByteArray(message, std::min(std::max(length, 0), 200)));
}

QString statusText(unsigned long status) {
    switch (status) {
    case LIBSSH2_FX_NO_SUCH_FILE:
    case LIBSSH2_FX_NO_SUCH_PATH:
        return QStringLiteral("no such file or folder");
    case LIBSSH2_FX_PERMISSION_DENIED:
        return QStringLiteral("permission denied");
    case LIBSSH2_FX_FAILURE:
        return QStringLiteral("the server said it failed");
    case LIBSSH2_FX_OP_UNSUPPORTED:
        return QStringLiteral("not supported by the server");
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM:
    case LIBSSH2_FX_QUOTA_EXCEEDED:
        return QStringLiteral("no space left on the server");
    case LIBSSH2_FX_FILE_ALREADY_EXISTS:
        return QStringLiteral("the name is taken");
    default:
        return QStringLiteral("SFTP status %1").arg(status);
    }
}

} // namespace

void SftpSession::Connection::begin(const SftpLimits& limits) {
    stop = Stop::None;
    cut = Cut::None;
    sending = false;
    silence = limits.silence;
    report = limits.report;
    rawStatus.reset();
    deadline = limits.deadline;
    lastHeard = Clock::now();
}

// False once Cancel, the upload's limit or the server's silence has ended the wait (stop says
// which).
bool SftpSession::Connection::stillWanted() {
    const Clock::time_point now = Clock::now();
    if (abandon)
        stop = Stop::Abandoned;
    else if (deadline && now >= *deadline)
        stop = Stop::OutOfTime;
    else if (now - lastHeard >= silence)
        stop = Stop::Silent;
    return stop == Stop::None;
}

// Waits for the connection to move the way the SSH library needs, a glance at a time; false when
// the wait is over for good (stop says why).
bool SftpSession::Connection::wait() {
    short events = POLLIN;
    if (session) {
        const int directions = libssh2_session_block_directions(session.get());
        events = short(((directions & LIBSSH2_SESSION_BLOCK_INBOUND) ? POLLIN : 0) |
                       ((directions & LIBSSH2_SESSION_BLOCK_OUTBOUND) ? POLLOUT : 0));
        if (events == 0)
            events = POLLIN;
    }
    if (!stillWanted())
        return false;
    pollfd p{socket, events, 0};
    const int ready = ::poll(&p, 1, int(Glance.count()));
    if (ready < 0 && errno != EINTR) {
        stop = Stop::Broken;
        return false;
    }
    if (ready > 0)
        lastHeard = Clock::now();
    return true;
}

void SftpSession::Connection::fail(Reply* reply, int rc, const QString& what) {
    if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL && stop == Stop::None) {
        const unsigned long status =
            rawStatus ? *std::exchange(rawStatus, {}) : libssh2_sftp_last_error(sftp.get());
        reply->code = codeOf(status);
        reply->curlError = QStringLiteral("%1: %2").arg(what, statusText(status));
        return;
    }
    switch (stop) {
    case Stop::Abandoned:
        reply->code = CURLE_ABORTED_BY_CALLBACK;
        break;
    case Stop::OutOfTime:
    case Stop::Silent:
        reply->code = CURLE_OPERATION_TIMEDOUT;
        // The limit itself is said with the reply's reading, in seconds.
        reply->curlError = QStringLiteral("%1: the server said nothing").arg(what);
        cut = stop == Stop::OutOfTime ? Cut::OutOfTime : sending ? Cut::Stalled : Cut::None;
        break;
    case Stop::None:
    case Stop::Broken: {
        char* message = nullptr;
        if (session)
            libssh2_session_last_error(session.get(), &message, nullptr, 0);
        reply->code = sending ? CURLE_SEND_ERROR : CURLE_SSH;
        reply->curlError = QStringLiteral("%1: %2").arg(
            what, message && *message ? QString::fromUtf8(message)
                                      : QStringLiteral("the connection was cut off"));
        break;
    }
    }
    drop();
}

void SftpSession::Connection::drop(bool goodbye) {
    if (socket < 0)
        return;
    if (goodbye && session && stop == Stop::None) {
        // Sent, not waited for.
        libssh2_session_set_blocking(session.get(), 0);
        libssh2_session_disconnect(session.get(), "done");
    }
    // Whatever the library still means to say or hear fails at once.
    ::shutdown(socket, SHUT_RDWR);
    if (session)
        libssh2_session_set_blocking(session.get(), 1);
    sftp.reset();
    session.reset();
    ::close(socket);
    socket = -1;
}

bool SftpSession::Connection::connectSocket(Reply* reply) {
    const std::shared_ptr<HostLookup> lookup =
        startLookup(site.host.toUtf8(), QByteArray::number(site.port));
    {
        std::unique_lock lock(lookup->mutex);
        while (!lookup->done.wait_for(lock, Glance, [&] { return lookup->finished; })) {
            if (!stillWanted()) {
                fail(reply, 0, QStringLiteral("Could not resolve host %1").arg(site.host));
                return false;
            }
        }
    }
    if (lookup->result != 0) {
        reply->code = CURLE_COULDNT_RESOLVE_HOST;
        reply->curlError = QStringLiteral("Could not resolve host: %1").arg(site.host);
        return false;
    }
    int error = 0;
    for (const addrinfo* a = lookup->found; a && stop == Stop::None; a = a->ai_next) {
        socket = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (socket < 0)
            continue;
        error = ::connect(socket, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        while (error == EINPROGRESS) {
            pollfd p{socket, POLLOUT, 0};
            if (::poll(&p, 1, int(Glance.count())) == 1) {
                socklen_t length = sizeof error;
                if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            } else if (!wait()) {
                error = ETIMEDOUT;
            }
        }
        if (error == 0)
            return true;
        ::close(socket);
        socket = -1;
    }
    if (stop != Stop::None) {
        fail(reply, 0, QStringLiteral("Could not connect"));
        return false;
    }
    reply->code = CURLE_COULDNT_CONNECT;
    reply->curlError = QString::fromLocal8Bit(std::strerror(error));
    return false;
}

// The connection up to the login, and its SFTP channel.
bool SftpSession::Connection::open(Reply* reply) {
    if (sftp)
        return true;
    drop();
    trust = {};
    refusal.clear();
    if (!connectSocket(reply))
        return false;
    if (!greeting.hear(socket, &abandon)) {
        reply->code = CURLE_COULDNT_CONNECT;
        drop();
        return false;
    }
    if (!handshake(reply) || !logIn(reply))
        return false;
    sftp.reset(retryFor<LIBSSH2_SFTP>([this] { return libssh2_sftp_init(session.get()); }));
    if (!sftp) {
        fail(reply, 0, QStringLiteral("Could not start SFTP"));
        return false;
    }
    return true;
}

// The handshake, asking for the key type the user's file knows for the host (once more without
// it, where the server no longer has a key of that type), and the check of the key it showed.
bool SftpSession::Connection::handshake(Reply* reply) {
    HostKeyTrust hostKey(site.host, site.port, knownHostsFile);
    QLatin1StringView preferred = hostKey.preferredType();
    if (!hostKey.fileError().isEmpty()) {
        refusal = QStringLiteral("%1, so nothing was sent to %2.")
                      .arg(hostKey.fileError(), site.hostAndPort);
        reply->code = CURLE_NOT_BUILT_IN;
        reply->curlError = refusal;
        drop();
        return false;
    }
    for (;;) {
        session.reset(libssh2_session_init_ex(nullptr, nullptr, nullptr, this));
        if (!session) {
            reply->code = CURLE_OUT_OF_MEMORY;
            drop();
            return false;
        }
        libssh2_session_set_blocking(session.get(), 0);
        libssh2_session_callback_set(session.get(), LIBSSH2_CALLBACK_DISCONNECT,
                                     reinterpret_cast<void*>(&disconnected));
        if (!preferred.isEmpty())
            libssh2_session_method_pref(session.get(), LIBSSH2_METHOD_HOSTKEY,
                                        QByteArray(preferred.data(), preferred.size()).constData());
        const int rc = retry([this] { return libssh2_session_handshake(session.get(), socket); });
        if (rc == 0)
            break;
        if (!greeting.problem().isEmpty()) {
            reply->code = CURLE_COULDNT_CONNECT;
            drop();
            return false;
        }
        if (preferred.isEmpty() || stop != Stop::None) {
            fail(reply, rc, QStringLiteral("Failure establishing ssh session"));
            return false;
        }
        preferred = {};
        drop();
        if (!connectSocket(reply) || !greeting.hear(socket, &abandon)) {
            reply->code = CURLE_COULDNT_CONNECT;
            drop();
            return false;
        }
    }
    size_t length = 0;
    int type = 0;
    const char* key = libssh2_session_hostkey(session.get(), &length, &type);
    if (!key || !hostKey.holds(key, length)) {
        trust = hostKey.problem();
        reply->code = CURLE_PEER_FAILED_VERIFICATION;
        drop();
        return false;
    }
    return true;
}

// Every way of logging in on this one connection, in SshLogin's order, none before the host key
// passed.
bool SftpSession::Connection::logIn(Reply* reply) {
    const char* offered = retryFor<char>([this] {
        return libssh2_userauth_list(session.get(), user.constData(), unsigned(user.size()));
    });
    if (!offered) {
        if (libssh2_userauth_authenticated(session.get()))
            return true;
        fail(reply, 0, QStringLiteral("Could not log in"));
        return false;
    }
    const QByteArray methods(offered);
    reply->sshMethods = QString::fromUtf8(methods);
    login.learn(reply->sshMethods);
    QString stopped;
    while (const std::optional<SshMethod> how = login.upcoming(&stopped)) {
        Reply tried;
        tried.code = CURLE_LOGIN_DENIED;
        tried.sshMethods = reply->sshMethods;
        if (tryLogin(*how, methods, &tried)) {
            reply->loggedIn = true;
            return true;
        }
        reply->passwordSent = reply->passwordSent || tried.passwordSent;
        if (stop != Stop::None) {
            fail(reply, 0, QStringLiteral("Could not log in"));
            return false;
        }
        login.refused(tried);
        if (!login.passphraseWanted().isEmpty())
            break;
    }
    drop();
    if (!stopped.isEmpty()) {
        refusal = stopped;
        reply->code = CURLE_NOT_BUILT_IN;
        reply->curlError = stopped;
        return false;
    }
    reply->code = CURLE_LOGIN_DENIED;
    return false;
}

// One way of logging in: the agent's keys, one key file, or the password (or keyboard-
// interactive prompts answered with it, where the server lists no password).
bool SftpSession::Connection::tryLogin(const SshMethod& how, const QByteArray& methods,
                                       Reply* tried) {
    LIBSSH2_SESSION* s = session.get();
    switch (how.kind) {
    case SshMethod::Kind::Agent:
        return logInWithAgent();
    case SshMethod::Kind::KeyFile: {
        const QByteArray file = QFile::encodeName(how.keyFile);
        const int rc = retry([&] {
            return libssh2_userauth_publickey_fromfile_ex(
                s, user.constData(), unsigned(user.size()), nullptr, file.constData(),
                how.passphrase.constData());
        });
        if (rc != 0 && rc != LIBSSH2_ERROR_EAGAIN) {
            char* message = nullptr;
            libssh2_session_last_error(s, &message, nullptr, 0);
            tried->keyFailure = QString::fromUtf8(message ? message : "");
        }
        return rc == 0;
    }
    case SshMethod::Kind::Password:
        break;
    }
    tried->passwordSent = true;
    if (methods.contains("password"))
        return retry([&] {
                   return libssh2_userauth_password_ex(s, user.constData(), unsigned(user.size()),
                                                       password.constData(),
                                                       unsigned(password.size()), nullptr);
               }) == 0;
    return retry([&] {
               return libssh2_userauth_keyboard_interactive_ex(
                   s, user.constData(), unsigned(user.size()), &answerPrompts);
           }) == 0;
}

// The agent's keys, one after the other.
bool SftpSession::Connection::logInWithAgent() {
    const std::unique_ptr<LIBSSH2_AGENT, AgentFree> agent(libssh2_agent_init(session.get()));
    if (!agent || libssh2_agent_connect(agent.get()) != 0 ||
        libssh2_agent_list_identities(agent.get()) != 0)
        return false;
    libssh2_agent_publickey* key = nullptr;
    libssh2_agent_publickey* previous = nullptr;
    while (stop == Stop::None && libssh2_agent_get_identity(agent.get(), &key, previous) == 0) {
        if (retry([&] { return libssh2_agent_userauth(agent.get(), user.constData(), key); }) == 0)
            return true;
        previous = key;
    }
    return false;
}

SftpSession::SftpSession(const Site& site, const QString& user, const QString& password,
                         const QString& knownHostsFile, SshLogin& login,
                         const std::atomic<bool>& abandon)
    : d((initOnce(),
         std::make_unique<Connection>(site, user, password, knownHostsFile, login, abandon))) {}

SftpSession::~SftpSession() = default;

} // namespace platform::inet
