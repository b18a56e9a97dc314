#include "KnownHosts.h"

#include <QCryptographicHash>
#include <QList>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>

#include <algorithm>

namespace platform {

namespace {

// How known_hosts names a host: bare on the standard port, "[host]:port" on any other.
QByteArray hostPattern(const QString& host, int port) {
    const QByteArray name = host.toUtf8();
    return port == 22 ? name : '[' + name + "]:" + QByteArray::number(port);
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

} // namespace

KnownHosts::KnownHosts(QByteArrayView text, const QString& host, int port) {
    const QByteArray name = hostPattern(host.toLower(), port);
    qsizetype from = 0;
    while (from < text.size()) {
        qsizetype end = text.indexOf('\n', from);
        if (end < 0)
            end = text.size();
        const QByteArrayView line = text.sliced(from, end - from).trimmed();
        from = end + 1;
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        QList<QByteArrayView> fields = fieldsOf(line);
        Entry entry;
        if (!fields.isEmpty() && fields[0].startsWith('@')) {
            // Certificate authorities vouch for certificates, which are not checked here.
            if (fields[0] != "@revoked")
                continue;
            entry.revoked = true;
            fields.removeFirst();
        }
        if (fields.size() < 3 || !hostsMatch(fields[0], name))
            continue;
        const auto blob = QByteArray::fromBase64Encoding(fields[2].toByteArray(),
                                                         QByteArray::AbortOnBase64DecodingErrors);
        if (!blob)
            continue;
        entry.type = TypeOf(*blob);
        if (entry.type.isEmpty() || entry.type != QLatin1StringView(fields[1]))
            continue;
        entry.blob = *blob;
        m_entries.push_back(std::move(entry));
    }
}

KnownHosts::Verdict KnownHosts::verdict(const QByteArray& key) const {
    const auto held = [&](bool revoked) {
        return std::any_of(m_entries.begin(), m_entries.end(),
                           [&](const Entry& e) { return e.revoked == revoked && e.blob == key; });
    };
    if (held(true))
        return Verdict::Revoked;
    if (held(false))
        return Verdict::Known;
    const QByteArray type = TypeOf(key).toLatin1();
    return keyOfType(QLatin1StringView(type)).isEmpty() ? Verdict::New : Verdict::Changed;
}

QLatin1StringView KnownHosts::preferredType() const {
    // A server that offers another type besides would otherwise show that one, which the
    // file does not know.
    static const QLatin1StringView modern[] = {
        QLatin1StringView("ssh-ed25519"), QLatin1StringView("ecdsa-sha2-nistp256"),
        QLatin1StringView("ecdsa-sha2-nistp384"), QLatin1StringView("ecdsa-sha2-nistp521"),
        QLatin1StringView("ssh-rsa")};
    for (const QLatin1StringView type : modern) {
        if (!keyOfType(type).isEmpty())
            return type;
    }
    return {};
}

QByteArray KnownHosts::keyOfType(QLatin1StringView type) const {
    const auto known = std::find_if(m_entries.begin(), m_entries.end(),
                                    [&](const Entry& e) { return !e.revoked && e.type == type; });
    return known == m_entries.end() ? QByteArray() : known->blob;
}

// An SSH public key blob starts with its type name as an SSH string: a 32-bit big-endian
// length, then the name.
QString KnownHosts::TypeOf(const QByteArray& key) {
    if (key.size() < 4)
        return {};
    const quint32 size = qFromBigEndian<quint32>(key.constData());
    if (size == 0 || size > quint32(key.size() - 4))
        return {};
    return QString::fromLatin1(key.mid(4, qsizetype(size)));
}

QString KnownHosts::FingerprintOf(const QByteArray& key) {
    return QStringLiteral("SHA256:") +
           QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::OmitTrailingEquals));
}

QByteArray KnownHosts::Line(const QString& host, int port, const QString& type,
                            const QByteArray& key) {
    return hostPattern(host, port) + ' ' + type.toLatin1() + ' ' + key.toBase64() + '\n';
}

// |1|salt|HMAC-SHA1(salt, host)|, as `ssh-keygen -H` writes it.
QByteArray KnownHosts::HashedLine(const QString& host, int port, const QString& type,
                                  const QByteArray& key) {
    QByteArray salt(20, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(salt.data()), salt.size() / 4);
    const QByteArray hash = QMessageAuthenticationCode::hash(hostPattern(host.toLower(), port),
                                                             salt, QCryptographicHash::Sha1);
    return "|1|" + salt.toBase64() + '|' + hash.toBase64() + ' ' + type.toLatin1() + ' ' +
           key.toBase64() + '\n';
}

} // namespace platform
