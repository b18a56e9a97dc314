#pragma once

// The inside of SftpSession, shared by its two files: the connection and its login, and the
// requests made over it.

#include "SftpSession.h"
#include "SshGreeting.h"

#include <QFile>

#include <libssh2.h>
#include <libssh2_sftp.h>

namespace platform::inet {

struct SessionFree {
    void operator()(LIBSSH2_SESSION* s) const { libssh2_session_free(s); }
};
struct SftpShutdown {
    void operator()(LIBSSH2_SFTP* s) const { libssh2_sftp_shutdown(s); }
};
struct AgentFree {
    void operator()(LIBSSH2_AGENT* a) const {
        libssh2_agent_disconnect(a);
        libssh2_agent_free(a);
    }
};

struct SftpSession::Connection {
    enum class Stop { None, Abandoned, OutOfTime, Silent, Broken };

    Connection(const Site& s, const QString& u, const QString& p, const QString& known, SshLogin& l,
               const std::atomic<bool>& a)
        : site(s), user(u.toUtf8()), password(p.toUtf8()), knownHostsFile(known), login(l),
          abandon(a), greeting(s.hostAndPort) {}
    ~Connection() { drop(true); }

    // The connection.
    bool open(Reply* reply);
    bool connectSocket(Reply* reply);
    bool handshake(Reply* reply);
    bool logIn(Reply* reply);
    bool tryLogin(const SshMethod& how, const QByteArray& methods, Reply* tried);
    bool logInWithAgent();
    void drop(bool goodbye = false);

    // Waiting, within the limits.
    void begin(const SftpLimits& limits);
    bool stillWanted();
    bool wait();
    template <typename Call> int retry(Call call);
    template <typename T, typename Call> T* retryFor(Call call);
    // The reply to a call that failed with rc, and the connection dropped unless the server
    // only refused what was asked.
    void fail(Reply* reply, int rc, const QString& what);

    // Requests.
    QByteArray pathOf(const QByteArray& url) const;
    void checkFolder(const QByteArray& path, bool folderOnly, Reply* reply);
    void list(const QByteArray& path, Request::Listing listing, Reply* reply);
    void upload(const QByteArray& path, QFile& file, Reply* reply);
    bool write(LIBSSH2_SFTP_HANDLE* handle, QFile& file, Reply* reply);
    void runCommand(const QString& command, Reply* reply);
    int rename(const QByteArray& from, const QByteArray& to);
    std::optional<quint32> posixRename(const QByteArray& from, const QByteArray& to);
    bool sendRaw(LIBSSH2_CHANNEL* channel, const QByteArray& packet);
    std::optional<quint32> readStatus(LIBSSH2_CHANNEL* channel, quint32 id);

    Site site;
    QByteArray user;
    QByteArray password;
    QString knownHostsFile;
    SshLogin& login;
    const std::atomic<bool>& abandon;

    SshGreeting greeting;
    TrustProblem trust;
    QString refusal;
    int socket = -1;
    std::unique_ptr<LIBSSH2_SESSION, SessionFree> session;
    std::unique_ptr<LIBSSH2_SFTP, SftpShutdown> sftp;
    std::optional<bool> posixRenames; // unknown until the server has been asked
    quint32 nextId = 0xf0000000;      // far from the library's own request ids

    Stop stop = Stop::None;
    Cut cut = Cut::None;
    bool sending = false; // the page is going up: silence is a stall
    std::chrono::milliseconds silence{};
    std::function<void(qint64 toSend, qint64 confirmed)> report;
    // The status of a request sent here rather than by the library, for fail() to read.
    std::optional<unsigned long> rawStatus;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::chrono::steady_clock::time_point lastHeard{};
};

// The call again and again while it would wait, for as long as the wait may go on: its end.
template <typename Call> int SftpSession::Connection::retry(Call call) {
    for (;;) {
        const int rc = call();
        if (rc != LIBSSH2_ERROR_EAGAIN || !wait())
            return rc;
    }
}

template <typename T, typename Call> T* SftpSession::Connection::retryFor(Call call) {
    for (;;) {
        T* made = call();
        if (made || libssh2_session_last_errno(session.get()) != LIBSSH2_ERROR_EAGAIN || !wait())
            return made;
    }
}

} // namespace platform::inet
