#include "HostKeyTrust.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>

namespace platform {

namespace {

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

} // namespace

HostKeyTrust::HostKeyTrust(const QString& host, int port, const QString& knownHostsFile)
    : m_host(host), m_port(port), m_file(QFile::encodeName(knownHostsFile)) {}

bool HostKeyTrust::install(CURL* easy) {
    // libssh2 reads the file (a missing one holds no keys) and prefers the key type it finds
    // there for this host, as ssh does.
    return curl_easy_setopt(easy, CURLOPT_SSH_KNOWNHOSTS, m_file.constData()) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_SSH_KEYFUNCTION, &HostKeyTrust::check) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_SSH_KEYDATA, this) == CURLE_OK;
}

int HostKeyTrust::check(CURL*, const curl_khkey*, const curl_khkey* found, curl_khmatch match,
                        void* self) {
    if (match == CURLKHMATCH_OK)
        return CURLKHSTAT_FINE;
    auto* trust = static_cast<HostKeyTrust*>(self);
    if (found && found->key) {
        const QByteArray blob = found->len > 0 ? QByteArray(found->key, qsizetype(found->len))
                                               : QByteArray::fromBase64(QByteArray(found->key));
        TrustProblem& p = trust->m_problem;
        p.kind = match == CURLKHMATCH_MISMATCH ? TrustProblem::Kind::ChangedHostKey
                                               : TrustProblem::Kind::NewHostKey;
        p.host = trust->m_host;
        p.port = trust->m_port;
        p.keyBlob = blob;
        p.keyType = keyTypeOf(blob);
        p.fingerprint = fingerprintOf(blob);
    }
    return CURLKHSTAT_REJECT;
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
    const QByteArray hash = QMessageAuthenticationCode::hash(hostPattern(key.host, key.port), salt,
                                                             QCryptographicHash::Sha1);
    const QByteArray line = "|1|" + salt.toBase64() + '|' + hash.toBase64() + ' ' +
                            key.keyType.toLatin1() + ' ' + key.keyBlob.toBase64() + '\n';

    QFile file(knownHostsFile);
    const bool existed = file.exists();
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append)) {
        *error = file.errorString();
        return false;
    }
    if (!existed)
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    // A last line without its line end would run into ours.
    QByteArray out = line;
    if (file.size() > 0 && file.seek(file.size() - 1) && file.read(1) != "\n")
        out.prepend('\n');
    if (file.write(out) != out.size() || !file.flush()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace platform
