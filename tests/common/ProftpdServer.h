#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <array>
#include <memory>

// A real ProFTPD (Debian's proftpd-core with proftpd-mod-crypto) on 127.0.0.1, serving one
// folder over the three secure protocols from one configuration file written here:
//   ftpes  explicit TLS on the main port (AUTH TLS, TLS required for login and data)
//   ftps   implicit TLS on a port of its own
//   sftp   SSH file transfer on a port of its own
// The certificate (for "localhost", signed by an authority of the server's own) and the host
// key (ECDSA) are made afresh for each server, and its one user comes from a passwd-format file of
// its own, so no system account is needed. Works as root and as an ordinary user; stopped when the
// object goes.
//
//     ProftpdServer server;
//     QVERIFY2(server.start(), qPrintable(server.errorString()));
//     site = server.site(ProftpdServer::Sftp);   // "sftp://127.0.0.1:<port>"
//     ... QDir(server.root()) holds what was uploaded ...
class ProftpdServer {
public:
    enum Protocol { Ftpes, Ftps, Sftp };

    ProftpdServer();
    ~ProftpdServer();
    ProftpdServer(const ProftpdServer&) = delete;
    ProftpdServer& operator=(const ProftpdServer&) = delete;

    // Makes the keys, writes the configuration, starts the server and waits until it listens.
    // False with errorString() on failure.
    bool start();
    // The ports the FTP server listens on for data connections; set before start().
    void setPassivePorts(quint16 first, quint16 last) { m_passivePorts = {first, last}; }
    // Configuration lines for every protocol ("<Limit PROT>\n DenyAll\n</Limit>\n"); set before
    // start().
    void addConfiguration(const QString& lines) { m_more += lines; }
    QString errorString() const { return m_error; }

    quint16 port(Protocol protocol) const { return m_ports[protocol]; }
    // "ftpes://127.0.0.1:<port>", "ftps://...", "sftp://..."
    QString site(Protocol protocol) const;
    // The folder the user logs into.
    QString root() const;
    QString user() const { return QStringLiteral("vantrell"); }
    QString password() const { return QStringLiteral("S3cure-Pa55"); }

    // The certificate's SHA-256 fingerprint as `openssl x509 -fingerprint -sha256` prints it
    // ("AB:CD:..."), and the host key's as `ssh-keygen -l -E sha256` does ("SHA256:...").
    QString certificateFingerprint() const { return m_certificateFingerprint; }
    QString hostKeyFingerprint() const { return m_hostKeyFingerprint; }
    // The authority that signed the certificate, a PEM file for SSL_CERT_FILE.
    QString authorityFile() const;
    // The host key as a line of an OpenSSH known_hosts file: "[127.0.0.1]:<port> <type> <key>".
    QString knownHostsLine() const;

    // Everything the server has logged so far: its system log (sessions, logins), every FTP
    // command with its reply ("PASS (hidden)" for a password) and its SSH log.
    QStringList log();
    // True when anyone has logged in, by FTP or SSH, or sent an FTP password.
    bool sawLoginOrPassword();

private:
    bool makeKeys();
    bool writeConfiguration();
    bool launch();
    void stop();
    QString path(const QString& name) const;

    QTemporaryDir m_dir;
    QProcess m_process;
    std::array<quint16, 3> m_ports{};
    std::array<quint16, 2> m_passivePorts{};
    QString m_certificateFingerprint;
    QString m_hostKeyFingerprint;
    QString m_hostKey; // "<type> <base64>"
    QString m_more;
    QByteArray m_systemLog;
    QString m_error;
};
