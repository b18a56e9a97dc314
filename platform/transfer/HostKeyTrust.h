#pragma once

#include "TrustProblem.h"

#include <QString>

#include <curl/curl.h>

namespace platform {

// Checks an SSH server's host key, for one request, against the user's OpenSSH known_hosts
// file ("[host]:port" entries for ports other than 22, hashed entries too). Only a key the
// file holds for the host passes; a new key or a changed one ends the connection before the
// login, and problem() says which key the server showed. The file is only read here.
class HostKeyTrust {
public:
    HostKeyTrust(const QString& host, int port, const QString& knownHostsFile);

    // Has the handle's host key check done here; this object must outlive the request.
    bool install(CURL* easy);

    const TrustProblem& problem() const { return m_problem; }

private:
    static int check(CURL* easy, const curl_khkey* known, const curl_khkey* found,
                     curl_khmatch match, void* self);

    QString m_host;
    int m_port = 0;
    QByteArray m_file;
    TrustProblem m_problem;
};

// Where OpenSSH keeps the user's known hosts: ~/.ssh/known_hosts.
QString DefaultKnownHostsFile();

// Adds the host key of a NewHostKey problem to the known_hosts file, its host name hashed as
// OpenSSH does by default. Creates ~/.ssh and the file, private to the user, when missing.
// False with a reason when the file cannot be written.
bool AddKnownHost(const QString& knownHostsFile, const TrustProblem& key, QString* error);

} // namespace platform
