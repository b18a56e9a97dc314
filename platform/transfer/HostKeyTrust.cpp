#include "HostKeyTrust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#if !defined(Q_OS_WIN)
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

// Far beyond any real file; a file this large is not what it should be.
constexpr qint64 MaxKnownHostsSize = qint64(16) << 20;

#if !defined(Q_OS_WIN)
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

QString ordinaryFileProblem(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("it is not an ordinary file");
    if (st.st_size > MaxKnownHostsSize)
        return QStringLiteral("it is larger than 16 MiB");
    return {};
}
#endif

// The whole file, or a reason why not; a missing file is an empty one. Opened without
// blocking, so that a pipe in its place never holds the upload up.
QString readKnownHosts(const QString& path, QByteArray* content) {
#if defined(Q_OS_WIN)
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    if (!info.isFile())
        return QStringLiteral("it is not an ordinary file");
    if (info.size() > MaxKnownHostsSize)
        return QStringLiteral("it is larger than 16 MiB");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    *content = file.read(MaxKnownHostsSize + 1);
#else
    const Descriptor fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        return errno == ENOENT ? QString() : QString::fromLocal8Bit(std::strerror(errno));
    if (QString problem = ordinaryFileProblem(fd.get()); !problem.isEmpty())
        return problem;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return QString::fromLocal8Bit(std::strerror(errno));
        if (got == 0)
            break;
        content->append(buffer, qsizetype(got));
        if (content->size() > MaxKnownHostsSize)
            break;
    }
#endif
    if (content->size() > MaxKnownHostsSize)
        return QStringLiteral("it is larger than 16 MiB");
    return {};
}

} // namespace

HostKeyTrust::HostKeyTrust(const QString& host, int port, const QString& knownHostsFile)
    : m_host(host), m_port(port), m_file(knownHostsFile) {}

bool HostKeyTrust::load() {
    QByteArray content;
    const QString problem = readKnownHosts(m_file, &content);
    if (!problem.isEmpty()) {
        m_fileError = QStringLiteral("Could not read the known hosts file %1 (%2)")
                          .arg(QDir::toNativeSeparators(m_file), problem);
        return false;
    }
    m_known = KnownHosts(content, m_host, m_port);
    return true;
}

bool HostKeyTrust::loadOnce() {
    if (!m_loaded) {
        m_loaded = true;
        load();
    }
    return m_fileError.isEmpty();
}

bool HostKeyTrust::install(CURL* easy) {
    if (!loadOnce())
        return false;
    if (m_prefer)
        writePreference(easy);
    return curl_easy_setopt(easy, CURLOPT_SSH_HOSTKEYFUNCTION, &HostKeyTrust::check) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_SSH_HOSTKEYDATA, this) == CURLE_OK;
}

// The most modern type the user knows for the host, as ssh prefers it; when the user knows only
// RSA keys, the library chooses.
QLatin1StringView HostKeyTrust::preferredType() {
    if (!loadOnce())
        return {};
    return m_known.preferredType();
}

bool HostKeyTrust::holds(const char* key, size_t length) {
    return loadOnce() && check(this, 0, key, length) == CURLKHMATCH_OK;
}

// curl asks the server for the type of the first key it finds for the host in a known_hosts
// file, and for nothing else. Given the user's own file, that may be a stale RSA entry, which
// this libssh2 can ask for only with SHA-1 signatures, refused by current servers: it gets one
// line of ours, of the preferred type.
bool HostKeyTrust::writePreference(CURL* easy) {
    const QLatin1StringView type = preferredType();
    const QByteArray known = m_known.keyOfType(type);
    if (type.isEmpty() || known.isEmpty())
        return false;
    if (!m_preference) {
        m_preference = std::make_unique<QTemporaryFile>(
            QDir::temp().filePath(QStringLiteral("vantrell-hostkey-XXXXXX")));
        const QByteArray line = KnownHosts::Line(m_host, m_port, type, known);
        if (!m_preference->open() || m_preference->write(line) != line.size() ||
            !m_preference->flush()) {
            m_preference.reset();
            return false;
        }
    }
    return curl_easy_setopt(easy, CURLOPT_SSH_KNOWNHOSTS,
                            QFile::encodeName(m_preference->fileName()).constData()) == CURLE_OK;
}

bool HostKeyTrust::dropPreference() {
    if (!m_preference || !m_prefer || m_sawKey)
        return false;
    m_prefer = false;
    return true;
}

int HostKeyTrust::check(void* self, int, const char* key, size_t length) {
    auto* trust = static_cast<HostKeyTrust*>(self);
    trust->m_sawKey = true;
    const QByteArray blob(key, qsizetype(length));
    TrustProblem& p = trust->m_problem;
    switch (trust->m_known.verdict(blob)) {
    case KnownHosts::Verdict::Known:
        return CURLKHMATCH_OK;
    case KnownHosts::Verdict::Revoked:
        p.kind = TrustProblem::Kind::RevokedHostKey;
        break;
    case KnownHosts::Verdict::Changed:
        p.kind = TrustProblem::Kind::ChangedHostKey;
        break;
    case KnownHosts::Verdict::New:
        p.kind = TrustProblem::Kind::NewHostKey;
        break;
    }
    p.host = trust->m_host;
    p.port = trust->m_port;
    p.keyBlob = blob;
    p.keyType = KnownHosts::TypeOf(blob);
    p.fingerprint = KnownHosts::FingerprintOf(blob);
    return CURLKHMATCH_MISMATCH;
}

QString DefaultKnownHostsFile() {
    return QDir::home().filePath(QStringLiteral(".ssh/known_hosts"));
}

bool AddKnownHost(const QString& knownHostsFile, const TrustProblem& key, QString* error) {
    if (key.kind != TrustProblem::Kind::NewHostKey || key.keyType.isEmpty()) {
        *error = QStringLiteral("there is no new host key to add");
        return false;
    }
    const QFileInfo info(knownHostsFile);
    QDir folder = info.absoluteDir();
    if (!folder.exists()) {
        if (!folder.mkpath(QStringLiteral(".")) ||
            !QFile::setPermissions(folder.absolutePath(),
                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            *error = QStringLiteral("cannot create the folder %1").arg(folder.absolutePath());
            return false;
        }
    }

    QByteArray line = KnownHosts::HashedLine(key.host, key.port, key.keyType, key.keyBlob);

#if defined(Q_OS_WIN)
    QFile file(knownHostsFile);
    if (file.exists() && !info.isFile()) {
        *error = QStringLiteral("it is not an ordinary file");
        return false;
    }
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append)) {
        *error = file.errorString();
        return false;
    }
    // A last line without its line end would run into ours.
    if (file.size() > 0 && file.seek(file.size() - 1) && file.read(1) != "\n")
        line.prepend('\n');
    if (file.write(line) != line.size() || !file.flush()) {
        *error = file.errorString();
        return false;
    }
#else
    const Descriptor fd(::open(QFile::encodeName(knownHostsFile).constData(),
                               O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                               0600));
    if (fd.get() < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (QString problem = ordinaryFileProblem(fd.get()); !problem.isEmpty()) {
        *error = problem;
        return false;
    }
    struct stat st {};
    char last = '\n';
    if (::fstat(fd.get(), &st) == 0 && st.st_size > 0 &&
        ::pread(fd.get(), &last, 1, st.st_size - 1) == 1 && last != '\n')
        line.prepend('\n');
    if (::write(fd.get(), line.constData(), size_t(line.size())) != ssize_t(line.size())) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
#endif
    return true;
}

} // namespace platform
