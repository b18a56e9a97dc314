#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

struct SshdServerOptions {
    // Lock the user into a folder as hosting providers do (ChrootDirectory): the login folder
    // is then "/home" on the server, root() on this machine.
    bool chroot = false;
    // Take no password at all, keys only (AuthenticationMethods publickey).
    bool keysOnly = false;
    // The public keys ("ssh-ed25519 AAAA...") the user logs in with, beside the password.
    QStringList authorizedKeys{};
    // Log every SFTP request, for requests() (locks the user in as chroot does: the SFTP
    // server logs through the jail's /dev/log).
    bool logRequests = false;
    // Also prove the RSA host key with SHA-1 signatures (ssh-rsa), as OpenSSH did before 8.8
    // and many hosts still do.
    bool sha1Rsa = false;
};

// OpenSSH's own sshd (Debian's openssh-server) on 127.0.0.1 and a free port, serving SFTP only
// (internal-sftp) to one user who logs in with a password. Its host keys (RSA, ECDSA, Ed25519)
// are made afresh for each server. sshd must run as root to log a user in, so the user is a
// system account (made with useradd and given its password with chpasswd when missing);
// available() says why a machine cannot run it. Stopped when the object goes.
//
//     if (const QString why = SshdServer::unavailable(); !why.isEmpty())
//         QSKIP(qPrintable(why));
//     SshdServer server;
//     QVERIFY2(server.start(), qPrintable(server.errorString()));
//     site = server.site();                  // "sftp://127.0.0.1:<port>"
//     ... QDir(server.root()) holds what was uploaded, owned by the user ...
class SshdServer {
public:
    using Options = SshdServerOptions;
    enum KeyType { Rsa, Ecdsa, Ed25519 };

    // Empty when this machine can run the server, else the reason (not root, no sshd).
    static QString unavailable();

    SshdServer();
    ~SshdServer();
    SshdServer(const SshdServer&) = delete;
    SshdServer& operator=(const SshdServer&) = delete;

    bool start(const Options& options = {});
    QString errorString() const { return m_error; }

    quint16 port() const { return m_port; }
    QString site() const; // "sftp://127.0.0.1:<port>"
    // The folder the user logs into, writable by the user.
    QString root() const { return m_root; }
    QString user() const;
    QString password() const;

    // A host key as ssh-keyscan prints it: "[127.0.0.1]:<port> <type> <base64>".
    QString knownHostsLine(KeyType type) const;
    // As `ssh-keygen -l -E sha256` prints it: "SHA256:...".
    QString fingerprint(KeyType type) const { return m_fingerprints[type]; }
    // "ssh-rsa", "ecdsa-sha2-nistp256", "ssh-ed25519"
    static QString typeName(KeyType type);

    // Gives a file or folder the test made in root() to the user, as an upload would have.
    bool handOver(const QString& path) const;

    // What sshd has logged so far (connections, logins, failed passwords).
    QStringList log();
    // True when a password reached the server, right or wrong.
    bool sawPassword();
    // The keys offered so far, as sshd logged them: "Accepted publickey for ..." or "Failed
    // publickey for ...".
    QStringList keysOffered();
    // With logRequests: the SFTP requests each session has received since the last call, one
    // string a session ("realpath open write close"), in the order the sessions began.
    QStringList requests();

private:
    bool makeKeys();
    bool prepareFolders(const Options& options);
    bool launch(const Options& options);
    void stop();
    QString path(const QString& name) const { return m_dir.filePath(name); }

    bool listenForLog();

    QTemporaryDir m_dir;
    int m_logSocket = -1; // the jail's /dev/log, with logRequests
    // Takes the lines as they come: a sender whose lines are not taken waits.
    std::thread m_logReader;
    std::atomic<bool> m_stopReading{false};
    std::mutex m_logMutex;
    QStringList m_logLines;
    std::unique_ptr<QTemporaryDir> m_jail; // with chroot: beyond any folder others may write
    QString m_root;
    QProcess m_process;
    quint16 m_port = 0;
    std::array<QString, 3> m_publicKeys; // "<type> <base64>"
    std::array<QString, 3> m_fingerprints;
    QByteArray m_log;
    QString m_error;
};

// OpenSSH's ssh-agent, started by the test on a socket of its own and stopped with the object;
// what it was asked is in its debug output.
class SshAgent {
public:
    SshAgent() = default;
    ~SshAgent();
    SshAgent(const SshAgent&) = delete;
    SshAgent& operator=(const SshAgent&) = delete;

    bool start();
    QString errorString() const { return m_error; }
    QString socket() const { return m_dir.filePath(QStringLiteral("agent.sock")); }
    // Puts the private key in the agent (ssh-add), its passphrase given when it has one.
    bool add(const QString& keyFile);
    // How many times a program connected to the agent since it started.
    int connections();

private:
    QTemporaryDir m_dir;
    QProcess m_agent;
    QByteArray m_output;
    QString m_error;
};

// Makes an Ed25519 key pair at path (and path.pub) with the passphrase (empty: none); its
// public line, "" when ssh-keygen failed.
QString MakeKeyPair(const QString& path, const QString& passphrase = {});
