#pragma once

#include "InetExchange.h"
#include "InetSite.h"
#include "SshLogin.h"
#include "TrustProblem.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace platform::inet {

// The limits on one request's time: how long the server may say nothing, and (until the page
// has all been confirmed) when the upload as a whole is out of time; and who hears how much of
// the page the server has confirmed.
struct SftpLimits {
    std::chrono::milliseconds silence{};
    std::optional<std::chrono::steady_clock::time_point> deadline{};
    std::function<void(qint64 toSend, qint64 confirmed)> report{};
};

// One SSH connection of the program's own that serves every request of the commands over SFTP,
// answering each as curl would have (the same codes and readings), so that the transfer's other
// parts do not know the difference. It is made at the first request and kept: connect, the
// server's greeting, the handshake (asking for the key type the known_hosts file knows for the
// host), the host key, and only then the login, every way of it on this one connection, as ssh
// logs in. Every wait has an end: the server's silence, the upload's time, and Cancel, which
// cuts the connection within a moment. A connection that failed is dropped; the next request
// makes a new one.
//
// A rename onto the page is one step where the server offers OpenSSH's posix-rename, so that
// the page is never missing; where it does not, a plain rename, which no SFTP server of
// version 3 makes onto a name in use.
class SftpSession {
public:
    // Why the last request was cut, where the limits cut it.
    enum class Cut { None, OutOfTime, Stalled };

    SftpSession(const Site& site, const QString& user, const QString& password,
                const QString& knownHostsFile, SshLogin& login, const std::atomic<bool>& abandon);
    // Says goodbye without waiting for an answer.
    ~SftpSession();
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    // The request's URL names a folder (ending "/") or a file under the site's base; "/~/"
    // starts from the login folder. Runs the request, then its commands: "rename a b", "rm a",
    // "chmod 644 a" (a leading "*": its failure stops nothing), names quoted as curl's are.
    Reply exchange(const Request& request, const SftpLimits& limits);
    // What stands under a name, links followed; nothing when the server would not say.
    std::optional<NameFacts> look(const RemotePath& dir, const QString& name,
                                  const SftpLimits& limits);

    Cut lastCut() const;
    TrustProblem trustProblem() const;
    // Why the connection was given up before the SSH library had it.
    QString connectProblem() const;
    // Why nothing at all was sent: the known_hosts file unreadable, a passphrase to ask for.
    QString refusal() const;
    // False once the server has shown that it renames onto no name in use.
    bool renamesOntoTakenNames() const;
    const QString& knownHostsFile() const;

    struct Connection; // the inside, shared by the session's files

private:
    std::unique_ptr<Connection> d;
};

} // namespace platform::inet
