#include "SshLogin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#if !defined(Q_OS_WIN)
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace platform::inet {

namespace {

using Kind = SshMethod::Kind;

// A private key is small; a file larger than this is read no further.
constexpr qint64 KeyFileLimit = 1 << 20;

// Why ssh would not use the key file; empty when it would.
QString permissionProblem([[maybe_unused]] const QString& path,
                          [[maybe_unused]] const QString& shown) {
#if defined(Q_OS_WIN)
    return {};
#else
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("%1 could not be read (%2)")
            .arg(shown, QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("%1 is not an ordinary file, so it was not offered").arg(shown);
    return ssh::KeyFileProblem(shown, st.st_uid, ::getuid(), st.st_mode);
#endif
}

// libssh2's words when the server refused the key, rather than the key not being usable.
bool refusedByServer(const QString& failure) {
    return failure.isEmpty() || failure.contains(QLatin1String("PublicKey combination")) ||
           failure.contains(QLatin1String("public key combination"));
}

} // namespace

SshLogin::SshLogin(const SshCredentials& credentials, const QString& password,
                   const QString& hostAndPort)
    : m_credentials(credentials) {
    m_tried.hostAndPort = hostAndPort;
    m_tried.passwordSet = !password.isEmpty();
#if !defined(Q_OS_WIN)
    if (!qEnvironmentVariableIsEmpty("SSH_AUTH_SOCK")) {
        m_tries.push_back({{Kind::Agent, {}, {}}, {}, false});
        m_keysPlayed = true;
    }
#endif
    findKeyFiles(credentials.keyFile);
    if (!password.isEmpty())
        m_tries.push_back({{Kind::Password, {}, {}}, {}, false});
}

void SshLogin::findKeyFiles(const QString& named) {
    const QString home = QDir::homePath();
    QStringList paths;
    if (named.isEmpty()) {
        for (const QString& name : ssh::DefaultKeyFileNames())
            paths << QDir(home).filePath(QStringLiteral(".ssh/") + name);
    } else if (named.startsWith(QLatin1String("~/"))) {
        paths << home + named.mid(1);
    } else {
        // A name without a folder is looked for where the user keeps keys, not wherever the
        // scheduler happens to start the program.
        paths << QDir(home).filePath(named);
    }
    for (const QString& path : std::as_const(paths)) {
        const QString shown = ssh::ShownPath(path, home);
        if (!QFileInfo::exists(path)) {
            // OpenSSH's own names are tried where they exist; the one named must.
            if (!named.isEmpty()) {
                m_tried.passedOver << QStringLiteral("the key file %1 does not exist").arg(shown);
                m_keysPlayed = true;
            }
            continue;
        }
        m_keysPlayed = true;
        if (const QString problem = permissionProblem(path, shown); !problem.isEmpty()) {
            m_tried.passedOver << problem;
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            m_tried.passedOver
                << QStringLiteral("%1 could not be read (%2)").arg(shown, file.errorString());
            continue;
        }
        Try key{{Kind::KeyFile, path, {}},
                shown,
                ssh::LockOf(file.read(KeyFileLimit)) == ssh::KeyLock::Passphrase};
        if (key.locked) {
            const auto given = m_credentials.passphrases.constFind(path);
            if (given != m_credentials.passphrases.cend() && given->isEmpty()) {
                m_tried.passedOver
                    << QStringLiteral("%1 was left out, without its passphrase").arg(shown);
                continue;
            }
            if (given != m_credentials.passphrases.cend()) {
                key.method.passphrase = given->toUtf8();
            } else if (!m_credentials.askForPassphrase) {
                m_tried.passedOver << QStringLiteral("%1 needs its passphrase, which only the "
                                                     "agent can give a run nobody watches: "
                                                     "ssh-add %1")
                                          .arg(shown);
                continue;
            }
        }
        m_tries.push_back(key);
    }
}

bool SshLogin::worthTrying(const Try& t) const {
    if (!m_methodsKnown)
        return true;
    const QString& methods = m_tried.serverMethods;
    if (t.method.kind == Kind::Password)
        return methods.contains(QLatin1String("password")) ||
               methods.contains(QLatin1String("keyboard-interactive"));
    return methods.contains(QLatin1String("publickey"));
}

bool SshLogin::prepare(CURL* easy, QString* error) {
    m_wanted.clear();
    // Nothing left to offer, or a key whose passphrase is to be asked for before the server
    // has shown that it is the one trusted and takes keys at all: this try offers nothing, and
    // learns the server's ways.
    const bool nothing = m_at >= m_tries.size();
    m_methodsOnly = nothing || (!m_methodsKnown && m_tries[m_at].locked &&
                                m_tries[m_at].method.passphrase.isEmpty());
    if (m_methodsOnly) {
        curl_easy_setopt(easy, CURLOPT_SSH_AUTH_TYPES, long(CURLSSH_AUTH_NONE));
        return true;
    }
    const Try& t = m_tries[m_at];
    if (t.locked && t.method.passphrase.isEmpty()) {
        m_wanted = t.method.keyFile;
        *error = QStringLiteral("%1 needs its passphrase").arg(t.shown);
        return false;
    }
    switch (t.method.kind) {
    case Kind::Agent:
        curl_easy_setopt(easy, CURLOPT_SSH_AUTH_TYPES, long(CURLSSH_AUTH_AGENT));
        break;
    case Kind::KeyFile:
        curl_easy_setopt(easy, CURLOPT_SSH_AUTH_TYPES, long(CURLSSH_AUTH_PUBLICKEY));
        // curl would otherwise pick a file of its own (~/.ssh/id_rsa or id_dsa); an empty
        // public key has libssh2 take it from the private key, rather than from a .pub file
        // that may be stale.
        curl_easy_setopt(easy, CURLOPT_SSH_PRIVATE_KEYFILE,
                         QFile::encodeName(t.method.keyFile).constData());
        curl_easy_setopt(easy, CURLOPT_SSH_PUBLIC_KEYFILE, "");
        curl_easy_setopt(easy, CURLOPT_KEYPASSWD, t.method.passphrase.constData());
        break;
    case Kind::Password:
        // Answered to a password or keyboard-interactive prompt.
        curl_easy_setopt(easy, CURLOPT_SSH_AUTH_TYPES,
                         long(CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD));
        break;
    }
    return true;
}

void SshLogin::expect(Reply* reply) const {
    reply->sshPasswordAllowed =
        !m_methodsOnly && m_at < m_tries.size() && m_tries[m_at].method.kind == Kind::Password;
}

void SshLogin::record(const Reply& reply) {
    if (!reply.sshMethods.isEmpty()) {
        m_methodsKnown = true;
        m_tried.serverMethods = reply.sshMethods;
    }
    if (m_methodsOnly || m_at >= m_tries.size() || reply.code != CURLE_LOGIN_DENIED)
        return;
    const Try& t = m_tries[m_at];
    // Without publickey in the server's list, curl offered no key.
    const bool keysTaken = reply.sshMethods.contains(QLatin1String("publickey"));
    switch (t.method.kind) {
    case Kind::Agent:
        if (!keysTaken)
            break;
        m_tried.agentKeys = AgentKeyCount();
        if (m_tried.agentKeys < 0)
            m_tried.passedOver << QStringLiteral("the agent that SSH_AUTH_SOCK names does not "
                                                 "answer");
        break;
    case Kind::KeyFile:
        if (!keysTaken)
            break;
        if (refusedByServer(reply.keyFailure)) {
            m_tried.keyFiles << t.shown;
        } else if (!t.method.passphrase.isEmpty()) {
            if (m_credentials.askForPassphrase)
                m_wanted = t.method.keyFile;
            m_tried.passedOver
                << QStringLiteral("%1 did not open with the passphrase given").arg(t.shown);
        } else {
            m_tried.passedOver
                << QStringLiteral("%1 could not be used (%2)").arg(t.shown, reply.keyFailure);
        }
        break;
    case Kind::Password:
        m_tried.passwordSent = reply.passwordSent;
        break;
    }
}

bool SshLogin::next(const Reply& reply) {
    record(reply);
    if (reply.code != CURLE_LOGIN_DENIED || !m_wanted.isEmpty())
        return false;
    if (!m_methodsOnly)
        ++m_at;
    else if (m_at >= m_tries.size())
        return false;
    while (m_at < m_tries.size() && !worthTrying(m_tries[m_at]))
        ++m_at;
    return m_at < m_tries.size();
}

void SshLogin::learn(const QString& methods) {
    m_methodsKnown = true;
    m_tried.serverMethods = methods;
}

std::optional<SshMethod> SshLogin::upcoming(QString* error) {
    m_wanted.clear();
    m_methodsOnly = false;
    while (m_at < m_tries.size() && !worthTrying(m_tries[m_at]))
        ++m_at;
    if (m_at >= m_tries.size())
        return std::nullopt;
    const Try& t = m_tries[m_at];
    if (t.locked && t.method.passphrase.isEmpty()) {
        m_wanted = t.method.keyFile;
        *error = QStringLiteral("%1 needs its passphrase").arg(t.shown);
        return std::nullopt;
    }
    return t.method;
}

void SshLogin::refused(const Reply& reply) {
    record(reply);
    if (m_wanted.isEmpty())
        ++m_at;
}

QString SshLogin::denied() const {
    if (!m_keysPlayed && m_tried.passwordSet)
        return {};
    return ssh::LoginDeniedText(m_tried);
}

int AgentKeyCount() {
#if defined(Q_OS_WIN)
    return -1;
#else
    const QByteArray path = qgetenv("SSH_AUTH_SOCK");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return -1;
    // SSH2_AGENTC_REQUEST_IDENTITIES; the answer starts with its length, the type
    // SSH2_AGENT_IDENTITIES_ANSWER and the number of keys.
    const unsigned char request[] = {0, 0, 0, 1, 11};
    if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request))
        return -1;
    unsigned char answer[9];
    size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got < sizeof answer) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) != 1)
            return -1;
        const ssize_t n = ::recv(fd, answer + got, sizeof answer - got, 0);
        if (n <= 0)
            return -1;
        got += size_t(n);
    }
    if (answer[4] != 12)
        return -1;
    return int((quint32(answer[5]) << 24) | (quint32(answer[6]) << 16) | (quint32(answer[7]) << 8) |
               quint32(answer[8]));
#endif
}

} // namespace platform::inet
