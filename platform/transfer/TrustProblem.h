#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace platform {

// Why a transfer stopped at the server's door: its certificate or host key could not be
// confirmed, so nothing but the handshake was sent, the password least of all.
struct TrustProblem {
    enum class Kind {
        None,
        Certificate,    // TLS: not trusted by the system, and not the one the user trusts
        NewHostKey,     // SSH: the host has no key in known_hosts yet
        ChangedHostKey, // SSH: known_hosts holds another key of this type for the host
        RevokedHostKey  // SSH: known_hosts marks this very key @revoked
    };
    Kind kind = Kind::None;
    QString host; // as the site names it, without brackets
    int port = 0;
    // Certificates: colon-separated hex, as `openssl x509 -fingerprint -sha256` prints it.
    // Host keys: "SHA256:" and unpadded base64, as OpenSSH prints it.
    QString fingerprint;

    // Certificate only.
    QString reason;         // what the check found wrong, e.g. "self-signed certificate"
    bool otherHost = false; // the certificate is not for the host the site names
    QStringList names;      // the host names and addresses it is for
    QString subject;
    QString issuer;
    QString validFrom; // ISO 8601, UTC
    QString validUntil;

    // Host key only.
    QString keyType;    // "ssh-ed25519", "ecdsa-sha2-nistp256", ...
    QByteArray keyBlob; // the key as the server sent it
    // A new key, where the file names the host without a port while the server listens on
    // another: such an entry stands for port 22 alone, as ssh reads it.
    bool knownOnPort22Only = false;
};

} // namespace platform
