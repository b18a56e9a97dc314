#include "HostKeyTrust.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>

#include <algorithm>

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

// An SSH public key blob starts with its type name as an SSH string: a 32-bit big-endian
// length, then the name.
QString keyTypeOf(const QByteArray& blob) {
    if (blob.size() < 4)
        return {};
    const quint32 size = qFromBigEndian<quint32>(blob.constData());
    if (size == 0 || size > quint32(blob.size() - 4))
        return {};
    return QString::fromLatin1(blob.mid(4, qsizetype(size)));
}

QString fingerprintOf(const QByteArray& blob) {
    return QStringLiteral("SHA256:") +
           QString::fromLatin1(QCryptographicHash::hash(blob, QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::OmitTrailingEquals));
}

// How known_hosts names a host: bare on the standard port, "[host]:port" on any other.
QByteArray hostPattern(const QString& host, int port) {
    const QByteArray name = host.toUtf8();
    return port == 22 ? name : '[' + name + "]:" + QByteArray::number(port);
}

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

// ssh's wildcards: "*" any run of characters, "?" any one.
bool wildcardMatch(QByteArrayView text, QByteArrayView pattern) {
    qsizetype t = 0, p = 0, starP = -1, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (starP >= 0) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// A hashed name, "|1|salt|hash", stands for the one host whose HMAC-SHA1 it is; a list of
// patterns matches when one matches and none of its negated ones ("!pattern") does.
bool hostsMatch(QByteArrayView hosts, const QByteArray& name) {
    if (hosts.startsWith("|1|")) {
        const QList<QByteArray> parts = hosts.toByteArray().split('|');
        if (parts.size() != 4)
            return false;
        const QByteArray salt = QByteArray::fromBase64(parts[2]);
        return !salt.isEmpty() &&
               QMessageAuthenticationCode::hash(name, salt, QCryptographicHash::Sha1) ==
                   QByteArray::fromBase64(parts[3]);
    }
    bool matched = false;
    for (const QByteArray& one : hosts.toByteArray().toLower().split(',')) {
        const bool negated = one.startsWith('!');
        if (!wildcardMatch(name, negated ? QByteArrayView(one).sliced(1) : QByteArrayView(one)))
            continue;
        if (negated)
            return false;
        matched = true;
    }
    return matched;
}

QList<QByteArrayView> fieldsOf(QByteArrayView line) {
    QList<QByteArrayView> fields;
    qsizetype i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const qsizetype start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            fields << line.sliced(start, i - start);
    }
    return fields;
}

std::vector<HostKeyTrust::Entry> entriesFor(const QByteArray& content, const QByteArray& name) {
    std::vector<HostKeyTrust::Entry> entries;
    qsizetype from = 0;
    while (from < content.size()) {
        qsizetype end = content.indexOf('\n', from);
        if (end < 0)
            end = content.size();
        const QByteArrayView line = QByteArrayView(content).sliced(from, end - from).trimmed();
        from = end + 1;
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        QList<QByteArrayView> fields = fieldsOf(line);
        HostKeyTrust::Entry entry;
        if (!fields.isEmpty() && fields[0].startsWith('@')) {
            // Certificate authorities vouch for certificates, which are not checked here.
            if (fields[0] != "@revoked")
                continue;
            entry.marker = HostKeyTrust::Entry::Marker::Revoked;
            fields.removeFirst();
        }
        if (fields.size() < 3 || !hostsMatch(fields[0], name))
            continue;
        const auto blob = QByteArray::fromBase64Encoding(fields[2].toByteArray(),
                                                         QByteArray::AbortOnBase64DecodingErrors);
        if (!blob)
            continue;
        entry.type = keyTypeOf(*blob);
        if (entry.type.isEmpty() || entry.type != QLatin1StringView(fields[1]))
            continue;
        entry.blob = *blob;
        entries.push_back(std::move(entry));
    }
    return entries;
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
    // ssh looks hosts up by their names in lower case.
    m_entries = entriesFor(content, hostPattern(m_host.toLower(), m_port));
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
    static const QLatin1StringView modern[] = {
        QLatin1StringView("ssh-ed25519"), QLatin1StringView("ecdsa-sha2-nistp256"),
        QLatin1StringView("ecdsa-sha2-nistp384"), QLatin1StringView("ecdsa-sha2-nistp521")};
    if (!loadOnce())
        return {};
    for (const QLatin1StringView type : modern) {
        if (std::any_of(m_entries.begin(), m_entries.end(), [&](const Entry& e) {
                return e.marker == Entry::Marker::None && e.type == type;
            }))
            return type;
    }
    return {};
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
    const auto known = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) {
        return e.marker == Entry::Marker::None && e.type == type;
    });
    if (type.isEmpty() || known == m_entries.end())
        return false;
    if (!m_preference) {
        m_preference = std::make_unique<QTemporaryFile>(
            QDir::temp().filePath(QStringLiteral("vantrell-hostkey-XXXXXX")));
        const QByteArray line = hostPattern(m_host, m_port) + ' ' + known->type.toLatin1() + ' ' +
                                known->blob.toBase64() + '\n';
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
    const QString type = keyTypeOf(blob);
    const auto held = [&](Entry::Marker marker) {
        return std::any_of(trust->m_entries.begin(), trust->m_entries.end(),
                           [&](const Entry& e) { return e.marker == marker && e.blob == blob; });
    };
    TrustProblem& p = trust->m_problem;
    if (held(Entry::Marker::Revoked)) {
        p.kind = TrustProblem::Kind::RevokedHostKey;
    } else if (held(Entry::Marker::None)) {
        return CURLKHMATCH_OK;
    } else {
        const bool sameType =
            std::any_of(trust->m_entries.begin(), trust->m_entries.end(), [&](const Entry& e) {
                return e.marker == Entry::Marker::None && e.type == type;
            });
        p.kind = sameType ? TrustProblem::Kind::ChangedHostKey : TrustProblem::Kind::NewHostKey;
    }
    p.host = trust->m_host;
    p.port = trust->m_port;
    p.keyBlob = blob;
    p.keyType = type;
    p.fingerprint = fingerprintOf(blob);
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

    // |1|salt|HMAC-SHA1(salt, host)|, as `ssh-keygen -H` writes it.
    QByteArray salt(20, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(salt.data()), salt.size() / 4);
    const QByteArray hash = QMessageAuthenticationCode::hash(
        hostPattern(key.host.toLower(), key.port), salt, QCryptographicHash::Sha1);
    QByteArray line = "|1|" + salt.toBase64() + '|' + hash.toBase64() + ' ' +
                      key.keyType.toLatin1() + ' ' + key.keyBlob.toBase64() + '\n';

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
