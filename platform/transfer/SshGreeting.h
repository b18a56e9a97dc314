#pragma once

#include <QString>

#include <curl/curl.h>

#include <atomic>
#include <vector>

namespace platform::inet {

// An SSH server speaks first, with a line that starts "SSH-". A server of another protocol
// that also speaks first (an FTP server's "220 ...") or that says nothing would keep the SSH
// library waiting for the whole time-out, so each new connection is made here and what the
// server says first is looked at, without taking it, before curl and the SSH library get it.
class SshGreeting {
public:
    explicit SshGreeting(const QString& hostAndPort) : m_hostAndPort(hostAndPort) {}

    void install(CURL* easy);
    // For a connection of the program's own: whether the server greets as an SSH server does,
    // within seconds, or sooner when `abandon` is set; problem() says why not.
    bool hear(int socket, const std::atomic<bool>* abandon);
    // The server ended the connection before the login, saying why.
    void turnedAway(const QByteArray& why);

    // Why a connection was given up before the SSH library had it; empty when none was.
    QString problem() const { return m_problem; }

private:
    static curl_socket_t open(void* self, curlsocktype purpose, curl_sockaddr* address);
    static int configure(void* self, curl_socket_t socket, curlsocktype purpose);

    QString m_hostAndPort;
    QString m_problem;
    std::vector<curl_socket_t> m_connected; // made here, not yet handed to curl
};

} // namespace platform::inet
