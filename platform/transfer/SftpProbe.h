#pragma once

#include "InetExchange.h"
#include "InetSite.h"
#include "SshLogin.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace platform::inet {

// An SSH connection of the program's own beside curl's, for what curl cannot ask an SFTP server:
// what stands under one name, and with which permissions, without listing the whole folder (a
// listing costs a round trip for every hundred names beside the page). It connects and checks
// the host key, as curl's connection does, at the same time as curl's, but sends the password
// only once the server has taken it from curl, so that a wrong one is never tried twice. A
// question then costs one round trip. Whatever goes wrong, it gives up without a word, and the
// folder is listed instead.
class SftpProbe {
public:
    SftpProbe(const Site& site, const QString& user, const QString& password,
              const QString& knownHostsFile, std::chrono::milliseconds timeout,
              const std::atomic<bool>& abandon);
    // Says goodbye without waiting for an answer.
    ~SftpProbe();
    SftpProbe(const SftpProbe&) = delete;
    SftpProbe& operator=(const SftpProbe&) = delete;

    // curl's login was taken, in this way: this connection may log in too, the same way.
    void loginTaken(const SshMethod& how);
    // curl's connection failed before its login was taken: nothing more to do here.
    void giveUp();
    // What stands under the path (a relative one starts from the login folder), links followed;
    // nothing when the question could not be asked. Means that curl's login was taken.
    std::optional<NameFacts> look(const QString& path);

private:
    void run();
    bool connectSocket();
    void cut();
    bool stopped();
    // False when asked to end first.
    bool waitForCurlsLogin();
    SshMethod method();
    // The path asked about next; nothing when asked to end.
    std::optional<QString> nextQuestion();
    void answer(const std::optional<NameFacts>& facts);

    Site m_site;
    QString m_user;
    QString m_password;
    QString m_knownHostsFile;
    std::chrono::milliseconds m_timeout;
    const std::atomic<bool>& m_abandon;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    int m_socket = -1;    // the connection, while it is open
    bool m_stop = false;  // asked to end
    bool m_go = false;    // curl's login was taken
    SshMethod m_method;   // and how
    bool m_ended = false; // the connection is of no more use
    std::optional<QString> m_question;
    std::optional<std::optional<NameFacts>> m_answer;
    std::thread m_thread; // last: starts once everything above exists
};

} // namespace platform::inet
