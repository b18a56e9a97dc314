#include "SftpProbe.h"
#include "HostKeyTrust.h"

#include <QFile>

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace platform::inet {

namespace {

struct SessionFree {
    void operator()(LIBSSH2_SESSION* s) const {
        // Sent, not waited for.
        libssh2_session_disconnect(s, "done");
        libssh2_session_free(s);
    }
};
struct SftpShutdown {
    void operator()(LIBSSH2_SFTP* s) const { libssh2_sftp_shutdown(s); }
};
struct AgentFree {
    void operator()(LIBSSH2_AGENT* a) const {
        libssh2_agent_disconnect(a);
        libssh2_agent_free(a);
    }
};
using Session = std::unique_ptr<LIBSSH2_SESSION, SessionFree>;
using Sftp = std::unique_ptr<LIBSSH2_SFTP, SftpShutdown>;

void initOnce() {
    static const int once = libssh2_init(0);
    (void)once;
}

// Answers every prompt of a keyboard-interactive login with the password, as curl does.
void answerPrompts(const char*, int, const char*, int, int count,
                   const LIBSSH2_USERAUTH_KBDINT_PROMPT*, LIBSSH2_USERAUTH_KBDINT_RESPONSE* answers,
                   void** abstract) {
    const QByteArray& password = *static_cast<const QByteArray*>(*abstract);
    for (int i = 0; i < count; ++i) {
        // The library frees the answers with free().
        auto* text = static_cast<char*>(std::malloc(size_t(password.size()) + 1));
        if (text)
            std::memcpy(text, password.constData(), size_t(password.size()) + 1);
        answers[i].text = text;
        answers[i].length = text ? unsigned(password.size()) : 0;
    }
}

std::optional<NameFacts> factsOf(const LIBSSH2_SFTP_ATTRIBUTES& attrs) {
    if (!(attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS))
        return std::nullopt;
    NameFacts facts;
    if (LIBSSH2_SFTP_S_ISREG(attrs.permissions)) {
        facts.kind = NameFacts::Kind::File;
        facts.mode = int(attrs.permissions & 0777);
    } else if (LIBSSH2_SFTP_S_ISDIR(attrs.permissions)) {
        facts.kind = NameFacts::Kind::Folder;
    } else {
        facts.kind = NameFacts::Kind::Other;
    }
    return facts;
}

// The handshake, asking for the key type the user's file knows for the host, and the check of
// the key the server showed, as on curl's connection.
bool meetServer(LIBSSH2_SESSION* session, int socket, const Site& site,
                const QString& knownHostsFile, std::chrono::milliseconds timeout) {
    libssh2_session_set_blocking(session, 1);
    libssh2_session_set_timeout(session, long(timeout.count()));
    HostKeyTrust trust(site.host, site.port, knownHostsFile);
    if (const QLatin1StringView type = trust.preferredType(); !type.isEmpty())
        libssh2_session_method_pref(session, LIBSSH2_METHOD_HOSTKEY,
                                    QByteArray(type.data(), type.size()).constData());
    if (libssh2_session_handshake(session, socket) != 0)
        return false;
    size_t length = 0;
    int type = 0;
    const char* key = libssh2_session_hostkey(session, &length, &type);
    return key && trust.holds(key, length);
}

// The agent's keys, one after the other, as curl offers them.
bool logInWithAgent(LIBSSH2_SESSION* session, const QByteArray& user) {
    const std::unique_ptr<LIBSSH2_AGENT, AgentFree> agent(libssh2_agent_init(session));
    if (!agent || libssh2_agent_connect(agent.get()) != 0 ||
        libssh2_agent_list_identities(agent.get()) != 0)
        return false;
    libssh2_agent_publickey* key = nullptr;
    libssh2_agent_publickey* previous = nullptr;
    while (libssh2_agent_get_identity(agent.get(), &key, previous) == 0) {
        if (libssh2_agent_userauth(agent.get(), user.constData(), key) == 0)
            return true;
        previous = key;
    }
    return false;
}

// The login the way curl's was taken: by the agent, a key file, or the password (or
// keyboard-interactive prompts answered with it, as curl tries them; methods is the server's
// list).
bool logIn(LIBSSH2_SESSION* session, const QByteArray& user, const QByteArray& password,
           const QByteArray& methods, const SshMethod& how) {
    switch (how.kind) {
    case SshMethod::Kind::Agent:
        return logInWithAgent(session, user);
    case SshMethod::Kind::KeyFile: {
        const QByteArray file = QFile::encodeName(how.keyFile);
        return libssh2_userauth_publickey_fromfile_ex(
                   session, user.constData(), unsigned(user.size()), nullptr, file.constData(),
                   how.passphrase.constData()) == 0;
    }
    case SshMethod::Kind::Password:
        break;
    }
    int refused = -1;
    if (methods.contains("password"))
        refused =
            libssh2_userauth_password_ex(session, user.constData(), unsigned(user.size()),
                                         password.constData(), unsigned(password.size()), nullptr);
    else if (methods.contains("keyboard-interactive"))
        refused = libssh2_userauth_keyboard_interactive_ex(session, user.constData(),
                                                           unsigned(user.size()), &answerPrompts);
    return refused == 0;
}

// What stands under the path; nothing when the server would not say. False in usable when the
// connection is of no more use.
std::optional<NameFacts> lookUp(LIBSSH2_SFTP* sftp, const QString& path, bool* usable) {
    const QByteArray name = path.toUtf8();
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    const int rc = libssh2_sftp_stat_ex(sftp, name.constData(), unsigned(name.size()),
                                        LIBSSH2_SFTP_STAT, &attrs);
    *usable = true;
    if (rc == 0)
        return factsOf(attrs);
    if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL) {
        const unsigned long status = libssh2_sftp_last_error(sftp);
        if (status == LIBSSH2_FX_NO_SUCH_FILE || status == LIBSSH2_FX_NO_SUCH_PATH)
            return NameFacts{};
        return std::nullopt;
    }
    *usable = false;
    return std::nullopt;
}

} // namespace

SftpProbe::SftpProbe(const Site& site, const QString& user, const QString& password,
                     const QString& knownHostsFile, std::chrono::milliseconds timeout,
                     const std::atomic<bool>& abandon)
    : m_site(site), m_user(user), m_password(password), m_knownHostsFile(knownHostsFile),
      m_timeout(timeout), m_abandon(abandon) {
    initOnce();
    m_thread = std::thread([this] { run(); });
}

SftpProbe::~SftpProbe() {
    giveUp();
    m_thread.join();
}

void SftpProbe::loginTaken(const SshMethod& how) {
    std::lock_guard lock(m_mutex);
    if (!m_go) {
        m_go = true;
        m_method = how;
        m_wake.notify_all();
    }
}

void SftpProbe::giveUp() {
    std::lock_guard lock(m_mutex);
    m_stop = true;
    cut();
    m_wake.notify_all();
}

bool SftpProbe::stopped() {
    std::lock_guard lock(m_mutex);
    return m_stop;
}

// Whatever waits on the connection wakes at once, as at its end; what is still to be sent goes.
void SftpProbe::cut() {
    if (m_socket >= 0)
        shutdown(m_socket, SHUT_RD);
}

std::optional<NameFacts> SftpProbe::look(const QString& path) {
    std::unique_lock lock(m_mutex);
    m_go = true;
    m_question = path;
    m_answer.reset();
    m_wake.notify_all();
    while (!m_answer && !m_ended && !m_abandon)
        m_wake.wait_for(lock, std::chrono::milliseconds(50));
    return m_answer ? *m_answer : std::nullopt;
}

bool SftpProbe::connectSocket() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(m_site.host.toUtf8().constData(), QByteArray::number(m_site.port).constData(),
                    &hints, &found) != 0)
        return false;
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);
    for (const addrinfo* a = found; a; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        {
            std::lock_guard lock(m_mutex);
            if (m_stop) {
                close(fd);
                return false;
            }
            m_socket = fd;
        }
        int error = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        // Looks up now and then whether it is still wanted.
        for (auto waited = std::chrono::milliseconds(0); error == EINPROGRESS;
             waited += std::chrono::milliseconds(100)) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 100) == 1) {
                socklen_t length = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            } else if (m_abandon || waited >= m_timeout || stopped()) {
                error = ETIMEDOUT;
            }
        }
        if (error == 0) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return true;
        }
        std::lock_guard lock(m_mutex);
        m_socket = -1;
        close(fd);
    }
    return false;
}

void SftpProbe::run() {
    // As on curl's thread: a write to a connection the server has closed fails, it does not end
    // the program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    const QByteArray user = m_user.toUtf8();
    QByteArray password = m_password.toUtf8();
    const auto end = [this] {
        std::lock_guard lock(m_mutex);
        m_ended = true;
        cut();
        m_wake.notify_all();
    };
    if (!connectSocket())
        return end();
    {
        Session session(libssh2_session_init_ex(nullptr, nullptr, nullptr, &password));
        // Out here: shut down only once the end is told and the connection cut.
        Sftp sftp;
        const auto serve = [&]() -> bool {
            if (!session ||
                !meetServer(session.get(), m_socket, m_site, m_knownHostsFile, m_timeout))
                return false;
            // Asks what the server takes, without the password.
            const char* methods =
                libssh2_userauth_list(session.get(), user.constData(), unsigned(user.size()));
            if (!methods || !waitForCurlsLogin() ||
                !logIn(session.get(), user, password, QByteArray(methods), method()))
                return false;
            sftp.reset(libssh2_sftp_init(session.get()));
            if (!sftp)
                return false;
            while (const std::optional<QString> path = nextQuestion()) {
                bool usable = true;
                const std::optional<NameFacts> facts = lookUp(sftp.get(), *path, &usable);
                answer(facts);
                if (!usable)
                    return false;
            }
            return true;
        };
        serve();
        end();
    }
    std::lock_guard lock(m_mutex);
    close(m_socket);
    m_socket = -1;
}

SshMethod SftpProbe::method() {
    std::lock_guard lock(m_mutex);
    return m_method;
}

bool SftpProbe::waitForCurlsLogin() {
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return m_stop || m_go; });
    return !m_stop;
}

std::optional<QString> SftpProbe::nextQuestion() {
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return m_stop || m_question; });
    if (m_stop)
        return std::nullopt;
    return *std::exchange(m_question, std::nullopt);
}

void SftpProbe::answer(const std::optional<NameFacts>& facts) {
    std::lock_guard lock(m_mutex);
    m_answer = facts;
    m_wake.notify_all();
}

} // namespace platform::inet
