#include "HostKeyTrust.h"

#include "UserFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace platform {

namespace {

// Far beyond any real file; a file this large is not what it should be.
constexpr qint64 MaxKnownHostsSize = qint64(16) << 20;

// The whole file, or a reason why not; a missing file is an empty one. A pipe in its place
// never holds the upload up.
QString readKnownHosts(const QString& path, QByteArray* content) {
    QString problem;
    if (std::optional<QByteArray> text =
            ReadOrdinaryFile(path, MaxKnownHostsSize, Links::Follow, &problem))
        *content = *std::move(text);
    return problem;
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
    m_knownOnPort22 = m_port != 22 && !KnownHosts(content, m_host, 22).IsEmpty();
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

// The most modern type the user knows for the host, as ssh prefers it: a server that offers
// several shows the one the user knows.
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
        p.knownOnPort22Only = trust->m_knownOnPort22;
        break;
    }
    p.host = trust->m_host;
    p.port = trust->m_port;
    p.keyBlob = blob;
    p.keyType = KnownHosts::TypeOf(blob);
    p.fingerprint = KnownHosts::FingerprintOf(blob);
    return CURLKHMATCH_MISMATCH;
}

QString PortlessEntry(const TrustProblem& problem) {
    if (problem.kind != TrustProblem::Kind::NewHostKey || !problem.knownOnPort22Only)
        return {};
    return QStringLiteral(" (known_hosts names %1 without a port, which stands for port 22 alone; "
                          "an entry for this port is written [%1]:%2)")
        .arg(problem.host)
        .arg(problem.port);
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
    QString problem;
    const std::optional<QByteArray> known =
        ReadOrdinaryFile(knownHostsFile, MaxKnownHostsSize, Links::Follow, &problem);
    if (!known && !problem.isEmpty()) {
        *error = problem;
        return false;
    }
    // A last line without its line end would run into ours.
    if (known && !known->isEmpty() && !known->endsWith('\n'))
        line.prepend('\n');
    return AppendToFile(knownHostsFile, line, Links::Follow, error);
}

} // namespace platform
