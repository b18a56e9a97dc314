#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1StringView>
#include <QString>

#include <vector>

namespace platform {

// What an OpenSSH known_hosts file says about one host, read as ssh reads it: plain and hashed
// host names ("|1|salt|hash"), "[host]:port" for ports other than 22, patterns with "*", "?"
// and "!", several keys for a host, "@revoked" keys (refused even where another line lists them),
// "@cert-authority" lines (skipped: no certificates here), comments, CR LF line ends and lines
// of any length. A line that cannot be read, or whose key is not of the type it names, is
// skipped as ssh skips it. Reading the file is for the caller: this is its text alone.
class KnownHosts {
public:
    // What the file makes of the key a server shows.
    enum class Verdict {
        Known,   // one of the host's entries holds it
        New,     // the file holds no key of its type for the host
        Changed, // the file holds another key of the same type for the host
        Revoked  // an "@revoked" line for the host holds it, whatever other lines say
    };

    // Knows no host: a missing file.
    KnownHosts() = default;
    // The entries of the file's text for the host on the port; ssh looks hosts up by their
    // names in lower case.
    explicit KnownHosts(QByteArrayView text, const QString& host, int port);

    Verdict verdict(const QByteArray& key) const;
    // The file holds no entry for the host on the port.
    bool IsEmpty() const { return m_entries.empty(); }
    // The most modern key type the file knows for the host, as ssh asks the server for it
    // (ssh-rsa when it knows RSA keys alone); empty when it knows none, and the SSH library
    // may choose.
    QLatin1StringView preferredType() const;
    // The first key of the type the file holds for the host, not revoked; empty when none.
    QByteArray keyOfType(QLatin1StringView type) const;

    // A key blob's own type name, as the blob begins with it; empty when it does not.
    static QString TypeOf(const QByteArray& key);
    // "SHA256:" and the base64 of the key's SHA-256, as ssh shows a key.
    static QString FingerprintOf(const QByteArray& key);
    // A line naming the host as it is ("[host]:port" off port 22), and one with the name
    // hashed under a random salt, as `ssh-keygen -H` writes it; both end in a line end.
    static QByteArray Line(const QString& host, int port, const QString& type,
                           const QByteArray& key);
    static QByteArray HashedLine(const QString& host, int port, const QString& type,
                                 const QByteArray& key);

private:
    struct Entry {
        bool revoked = false;
        QString type; // the key blob's own type name
        QByteArray blob;
    };
    std::vector<Entry> m_entries;
};

} // namespace platform
