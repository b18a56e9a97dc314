#pragma once

#include "KnownHosts.h"
#include "TrustProblem.h"

#include <QString>
#include <QTemporaryFile>

#include <curl/curl.h>

#include <memory>

namespace platform {

// Checks an SSH server's host key, for one command, against the user's OpenSSH known_hosts
// file, read as ssh reads it (KnownHosts). The server's key passes when any of the host's
// entries holds it. A new key, a changed one or a revoked one ends the connection before the
// login, and problem() says which key the server showed. The file is only read here, and only
// an ordinary file: a pipe or device in its place is refused, never waited for.
class HostKeyTrust {
public:
    HostKeyTrust(const QString& host, int port, const QString& knownHostsFile);

    // Reads the file and has the handle's host key checked here; this object must outlive the
    // request. False with fileError() when the file cannot be read.
    bool install(CURL* easy);

    const TrustProblem& problem() const { return m_problem; }
    // Why the known_hosts file could not be used: empty when it could (a missing one holds no
    // keys).
    const QString& fileError() const { return m_fileError; }

    // The handle asks the server for the key type the file knows for the host, the most modern
    // first, as ssh does. A server that no longer has a key of that type fails the handshake
    // before showing any key: true, once, when asking again without a preference may help.
    bool dropPreference();

    // For an SSH connection of the program's own: the key type to ask the server for (the
    // most modern the file knows for the host, ssh-rsa the last; empty when the library may
    // choose), and
    // whether the key the server showed passes, as for curl's.
    QLatin1StringView preferredType();
    bool holds(const char* key, size_t length);

private:
    static int check(void* self, int keyType, const char* key, size_t length);
    bool load();
    bool loadOnce();
    bool writePreference(CURL* easy);

    QString m_host;
    int m_port = 0;
    QString m_file;
    bool m_loaded = false;
    KnownHosts m_known;
    QString m_fileError;
    bool m_knownOnPort22 = false; // the file names the host without a port, off port 22
    bool m_prefer = true;
    bool m_sawKey = false;
    std::unique_ptr<QTemporaryFile> m_preference;
    TrustProblem m_problem;
};

// Why a new host key is new although the file names the host, " (known_hosts names ...)";
// empty for any other problem.
QString PortlessEntry(const TrustProblem& problem);

// Where OpenSSH keeps the user's known hosts: ~/.ssh/known_hosts.
QString DefaultKnownHostsFile();

// Adds the host key of a NewHostKey problem to the known_hosts file, its host name hashed as
// OpenSSH does by default. Creates ~/.ssh and the file, private to the user, when missing.
// False with a reason when the file cannot be written, or is not an ordinary file.
bool AddKnownHost(const QString& knownHostsFile, const TrustProblem& key, QString* error);

} // namespace platform
