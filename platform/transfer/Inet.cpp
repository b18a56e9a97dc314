#include "Inet.h"
#include "CurlRequest.h"
#include "HostKeyTrust.h"
#include "InetCommand.h"
#include "InetDialect.h"
#include "InetExchange.h"
#include "InetSite.h"
#include "PageReplacement.h"
#include "ServerText.h"
#include "SshLogin.h"
#if VANTRELL_HAVE_LIBSSH2
#include "SftpSession.h"
#endif
#include "UploadJournal.h"

#include <QFile>
#include <QMetaObject>

#include <curl/curl.h>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {

using namespace inet;

namespace {

void initCurlOnce() {
    static const struct Global {
        Global() { curl_global_init(CURL_GLOBAL_DEFAULT); }
        ~Global() { curl_global_cleanup(); }
        Global(const Global&) = delete;
        Global& operator=(const Global&) = delete;
    } global;
}

// What one command needs, taken from the control when it was started.
struct Job {
    Command command;
    QString url;
    QString user;
    QString password;
    std::chrono::milliseconds timeout{};
    QString trustedCertificate;
    QString knownHostsFile;
    SshCredentials ssh; // all but the password
    // The control was pointed at a server since the last command: start from the login folder.
    bool fromLogin = false;
    // When the upload these commands make up has had all the time it may take.
    std::chrono::steady_clock::time_point deadline{};
    std::chrono::milliseconds overall{};
};

} // namespace

// Runs the commands, one after the other, on a thread of its own that owns the curl handles,
// so the connection (and its login) carries over from one command to the next.
class InetWorker {
public:
    using Report = std::function<void(const Outcome&, const TrustProblem&)>;
    using ProgressReport = std::function<void(Inet::Stage, int percent)>;

    InetWorker(Report report, ProgressReport progress)
        : m_report(std::move(report)), m_progress(std::move(progress)), m_easy(curl_easy_init()),
          m_multi(curl_multi_init()) {
        m_thread = std::thread([this] { run(); });
    }

    ~InetWorker() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_abandon = true;
        m_wake.notify_one();
        if (m_multi)
            curl_multi_wakeup(m_multi.get());
        m_thread.join();
    }

    InetWorker(const InetWorker&) = delete;
    InetWorker& operator=(const InetWorker&) = delete;

    void enqueue(Job job) {
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_back(std::move(job));
        }
        m_wake.notify_one();
    }

private:
    void run() {
#if !defined(Q_OS_WIN)
        // Writes to a connection the server has closed, or that the goodbye below cut, fail
        // with EPIPE here instead of ending the program: not every path through curl and its
        // TLS and SSH libraries writes with MSG_NOSIGNAL. Windows has no such signal.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
        for (;;) {
            Job job;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
                if (m_stop)
                    break;
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
            m_trust = {};
            m_refused.clear();
            m_lastCode = CURLE_OK;
            Outcome outcome = perform(job);
            if (m_abandon)
                break;
            // Whatever the server said reaches a person as text.
            outcome.error = AsPlainText(redact(outcome.error, job.password));
            outcome.note = AsPlainText(redact(outcome.note, job.password));
            m_report(outcome, AsText(m_trust));
        }
        dropSession();
        sayGoodbye();
    }

    // Cleaning up the multi handle says goodbye on the idle connection (QUIT, or closing the
    // SSH channel) and waits for the answer. Whatever the last command did is done by then: the
    // connection is cut instead, which ends the session on the server as well.
    void sayGoodbye() {
        if (!m_easy || !m_multi)
            return;
        cutConnection();
        curl_easy_reset(m_easy.get());
        curl_easy_setopt(m_easy.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_easy.get(), CURLOPT_SERVER_RESPONSE_TIMEOUT, 1L);
        if (curl_multi_add_handle(m_multi.get(), m_easy.get()) == CURLM_OK)
            curl_multi_remove_handle(m_multi.get(), m_easy.get());
    }

    // curl finds the connection dead the next time it looks, and closes it without a word.
    void cutConnection() {
        if (m_kept.socket != CURL_SOCKET_BAD)
#if defined(Q_OS_WIN)
            shutdown(m_kept.socket, SD_BOTH);
#else
            shutdown(m_kept.socket, SHUT_RDWR);
#endif
        m_kept.socket = CURL_SOCKET_BAD;
        m_kept.carriedData = false;
    }

    // Told only when something changed: the upload reports every few kilobytes.
    void progress(Inet::Stage stage, int percent) {
        if (stage == m_stage && percent == m_percent)
            return;
        m_stage = stage;
        m_percent = percent;
        m_progress(stage, percent);
    }

    Outcome perform(const Job& job) {
        m_sentWhole = false;
        m_percent = -1;
        progress(Inet::Stage::Connecting, 0);
        if (job.command.kind == Command::Kind::Invalid)
            return {false, job.command.error};
        if (!m_easy || !m_multi)
            return {false, QStringLiteral("The FTP client could not be set up.")};

        QString error;
        const std::optional<Site> site = parseSite(job.url, &error);
        if (!site)
            return {false, error, InetFault::Site};
        if (error = checkCredentials(job.user, job.password); !error.isEmpty())
            return {false, error, InetFault::Login};

        // Another server or login starts again from its login directory.
        if (job.fromLogin || job.url != m_url || job.user != m_user || job.password != m_password) {
            m_url = job.url;
            m_user = job.user;
            m_password = job.password;
            m_current = site->start;
            m_listing = {};
            m_authorities.reset();
            dropSession();
            m_login.reset();
            if (site->protocol == Protocol::Sftp)
                m_login = std::make_unique<SshLogin>(job.ssh, job.password, site->hostAndPort);
        }
        startSession(job, *site);
        // Read once for all the connections of an upload: the bundle holds some hundred
        // certificates.
        if ((site->protocol == Protocol::Ftpes || site->protocol == Protocol::Ftps) &&
            !m_authorities)
            m_authorities = std::make_unique<SystemCertificates>();

        const std::unique_ptr<Dialect> dialect =
            Dialect::For(*site, job.trustedCertificate, m_authorities.get(), job.knownHostsFile,
                         m_login.get(), session());
        Outcome outcome = job.command.kind == Command::Kind::Cd
                              ? changeDirectory(job, *site, *dialect)
                              : put(job, *site, *dialect);
        m_trust = dialect->trustProblem();
        if (!outcome.ok)
            outcome.fault = faultOf(m_lastCode, job.command.kind);
        if (!outcome.ok && m_trust.kind != TrustProblem::Kind::None)
            outcome.error = untrusted(m_trust, site->hostAndPort);
        else if (!outcome.ok && !dialect->connectProblem().isEmpty())
            outcome.error = dialect->connectProblem();
        else if (!outcome.ok && m_lastCode == CURLE_LOGIN_DENIED &&
                 !dialect->loginProblem().isEmpty())
            outcome.error = dialect->loginProblem();
        else if (!outcome.ok && !m_refused.isEmpty())
            outcome.error = m_refused;
        if (!outcome.ok && m_login && !m_login->passphraseWanted().isEmpty()) {
            outcome.passphraseWanted = m_login->passphraseWanted();
            outcome.fault = InetFault::Login;
        }
        return outcome;
    }

    Outcome changeDirectory(const Job& job, const Site& site, Dialect& dialect) {
        const RemotePath target = m_current.joined(RemotePath::parse(job.command.directory));
        const Request check = dialect.directoryCheck(target);
        const Reply reply = exchange(job, dialect, check);
        if (check.listing == Request::Listing::Long && reply.code == CURLE_OK)
            m_listing = {check.url, reply.body};
        if (!dialect.directoryFound(reply)) {
            return {false, describe(reply, site.hostAndPort,
                                    QStringLiteral("Could not change to directory "
                                                   "\"%1\"")
                                        .arg(job.command.directory),
                                    job.timeout)};
        }
        m_current = target;
        return {true, {}};
    }

    Outcome put(const Job& job, const Site& site, Dialect& dialect) {
        const Command& cmd = job.command;
        QFile file(cmd.localFile);
        if (!file.open(QIODevice::ReadOnly)) {
            return {false, QStringLiteral("Could not read the local file \"%1\" (%2)")
                               .arg(cmd.localFile, file.errorString())};
        }
        const RemotePath dir = m_current.joined(cmd.putDir);
        Lookup lookup;
        const UploadJournal journal(job.user + u'@' + site.hostAndPort,
                                    dir.display() + u'/' + cmd.remoteName);
#if VANTRELL_HAVE_LIBSSH2
        if (m_session) {
            lookup = [this, &job](const RemotePath& in, const QString& name) {
                return m_session->look(in, name, limitsOf(job, {}));
            };
        }
#endif
        PageReplacement replacement(
            [this, &job, &dialect](const Request& request) {
                return exchange(job, dialect, request);
            },
            dialect, site.hostAndPort, job.timeout, dir, cmd.remoteName, file, std::move(lookup),
            &journal);
        return replacement.run();
    }

    // Over SFTP, the program's own connection serves every request of the commands, kept from
    // one command to the next as curl keeps its own.
    void startSession([[maybe_unused]] const Job& job, [[maybe_unused]] const Site& site) {
#if VANTRELL_HAVE_LIBSSH2
        if (m_session && m_session->knownHostsFile() != job.knownHostsFile)
            m_session.reset();
        if (site.protocol == Protocol::Sftp && !m_session && m_login)
            m_session = std::make_unique<SftpSession>(site, job.user, job.password,
                                                      job.knownHostsFile, *m_login, m_abandon);
#endif
    }

    void dropSession() {
#if VANTRELL_HAVE_LIBSSH2
        m_session.reset();
#endif
    }

    const SftpSession* session() const {
#if VANTRELL_HAVE_LIBSSH2
        return m_session.get();
#else
        return nullptr;
#endif
    }

    // The page is on the server once the server says so: over FTP its reply to the upload,
    // over SFTP its confirmation of the last piece.
    void reportUpload(bool arrived, qint64 toSend, qint64 confirmed) {
        // What follows puts the page in place.
        m_sentWhole = m_sentWhole || arrived;
        progress(arrived ? Inet::Stage::Replacing : Inet::Stage::Uploading,
                 arrived ? 100 : int(std::min<qint64>(confirmed * 100 / toSend, 99)));
    }

    // A failed request goes again for as long as the dialect has another way to make it (a
    // host key type to ask for no longer, the next way to log in): a few times at most.
    Reply exchange(const Job& job, Dialect& dialect, const Request& request) {
        Reply reply = exchangeOnce(job, dialect, request);
        while (reply.code != CURLE_OK && !m_abandon && dialect.askAgain(reply))
            reply = exchangeOnce(job, dialect, request);
        m_lastCode = reply.code;
        return reply;
    }

    Reply exchangeOnce(const Job& job, Dialect& dialect, const Request& request) {
        if (std::optional<Reply> answered = answerWithoutCurl(job, request))
            return *std::move(answered);
#if VANTRELL_HAVE_LIBSSH2
        if (m_session)
            return exchangeOverSsh(job, request);
#endif
        Reply reply;
        CURL* easy = m_easy.get();
        curl_easy_reset(easy);
        char errorBuffer[CURL_ERROR_SIZE] = {};
        Slist postQuote;
        for (const QString& line : request.postQuote) {
            if (!Append(postQuote, line)) {
                reply.code = CURLE_OUT_OF_MEMORY;
                return reply;
            }
        }
        Limits limits{.abandon = &m_abandon,
                      .limited = !request.finishing && !request.whole,
                      .deadline = job.deadline,
                      .countsAcknowledged = dialect.confirmsWholeUploadOnly()};
        limits.report = [this, &reply, &dialect](curl_off_t toSend, curl_off_t confirmed) {
            if (m_sending && toSend > 0)
                reportUpload(dialect.confirmsWholeUploadOnly()
                                 ? reply.replyTo(u"STOR").startsWith(u'2')
                                 : confirmed >= toSend,
                             toSend, confirmed);
        };
        if (!prepare(job, dialect, request, &reply, &limits, errorBuffer, postQuote.get()))
            return reply;
        const bool carriesData = request.upload || request.listing != Request::Listing::None;
        if (carriesData && m_kept.carriedData && dialect.oneTransferPerConnection()) {
            cutConnection();
            curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        }

        m_sending = request.upload != nullptr;
        if (request.upload)
            progress(Inet::Stage::Uploading, 0);
        else if (m_sentWhole)
            progress(Inet::Stage::Replacing, 100);
        struct Sent {
            InetWorker& worker;
            ~Sent() { worker.m_sending = false; }
        } sent{*this};

        if (curl_multi_add_handle(m_multi.get(), easy) != CURLM_OK) {
            reply.code = CURLE_FAILED_INIT;
            return reply;
        }
        // The server's word that the whole page arrived comes while curl waits on its own.
        reply.heard = [&limits] {
            limits.report(limits.toSend, limits.confirmed);
        };
        const bool done = Drive(easy, m_multi.get(), &reply, &limits, carriesData);
        reply.heard = nullptr;
        NoteConnection(easy, request, done, carriesData, &reply, &m_kept);
        // Removed mid-transfer, the handle drops its connection without sending the renames:
        // the page on the server stays as it was.
        curl_multi_remove_handle(m_multi.get(), easy);

        if (limits.outOfTime && !m_abandon)
            MarkOutOfTime(&reply, job.overall);
        else if (limits.stalled && !m_abandon)
            MarkStalled(&reply, job.timeout);
        if (reply.code != CURLE_OK && reply.curlError.isEmpty()) {
            reply.curlError = QString::fromUtf8(errorBuffer).trimmed();
            if (reply.curlError.isEmpty())
                reply.curlError = QString::fromUtf8(curl_easy_strerror(reply.code));
        }
        return reply;
    }

#if VANTRELL_HAVE_LIBSSH2
    // The request over the program's own SSH session, under the limits curl's would have.
    Reply exchangeOverSsh(const Job& job, const Request& request) {
        if (request.upload)
            progress(Inet::Stage::Uploading, 0);
        else if (m_sentWhole)
            progress(Inet::Stage::Replacing, 100);
        Reply reply = m_session->exchange(request, limitsOf(job, request));
        if (m_session->lastCut() == SftpSession::Cut::OutOfTime && !m_abandon)
            MarkOutOfTime(&reply, job.overall);
        else if (m_session->lastCut() == SftpSession::Cut::Stalled && !m_abandon)
            MarkStalled(&reply, job.timeout);
        if (!m_session->refusal().isEmpty())
            m_refused = m_session->refusal();
        return reply;
    }

    SftpLimits limitsOf(const Job& job, const Request& request) {
        SftpLimits limits{.silence = job.timeout};
        if (!request.finishing && !request.whole)
            limits.deadline = job.deadline;
        if (request.upload)
            limits.report = [this](qint64 toSend, qint64 confirmed) {
                if (toSend > 0)
                    reportUpload(confirmed >= toSend, toSend, confirmed);
            };
        return limits;
    }
#endif

    // The reply to a request that needs no server: the listing the change of directory just
    // made serves the upload that follows it, once; an abandoned upload, or one out of time,
    // asks nothing more.
    std::optional<Reply> answerWithoutCurl(const Job& job, const Request& request) {
        Reply reply;
        if (const Listing listed = std::exchange(m_listing, {});
            request.listing == Request::Listing::Long && !listed.url.isEmpty() &&
            listed.url == request.url) {
            reply.body = listed.body;
            return reply;
        }
        if (m_abandon) {
            reply.code = CURLE_ABORTED_BY_CALLBACK;
            return reply;
        }
        if (!request.finishing && std::chrono::steady_clock::now() >= job.deadline) {
            MarkOutOfTime(&reply, job.overall);
            return reply;
        }
        return std::nullopt;
    }

    // False, with the reason in the reply, when the protocol cannot make the request as safely
    // as the site asks.
    bool prepare(const Job& job, Dialect& dialect, const Request& request, Reply* reply,
                 Limits* limits, char* errorBuffer, curl_slist* postQuote) {
        CURL* easy = m_easy.get();
        SetCommonOptions(easy, request, job.user, job.password, reply, limits, errorBuffer);
        QString refused;
        if (!dialect.prepare(easy, request, &refused)) {
            reply->code = CURLE_NOT_BUILT_IN;
            reply->curlError = refused;
            m_refused = refused;
            return false;
        }
        dialect.expect(reply);
        SetTransferOptions(easy, request, job.timeout, reply, limits, postQuote);
        return true;
    }

    Report m_report;
    ProgressReport m_progress;
    EasyHandle m_easy;
    MultiHandle m_multi; // after the easy handle: cleaned up first

    // Worker thread only.
    QString m_url;
    QString m_user;
    QString m_password;
    RemotePath m_current;
    TrustProblem m_trust;           // why the command's server was not trusted, if it was not
    CURLcode m_lastCode = CURLE_OK; // how the command's last exchange ended
    QString m_refused;              // why the command could not be sent at all, if it could not
    std::unique_ptr<SystemCertificates> m_authorities; // for the upload under way, once read
    std::unique_ptr<SshLogin> m_login; // over SFTP: the ways to log in, and the one that did
    struct Listing {
        QByteArray url;
        QByteArray body;
    };
    Listing m_listing;     // the last long listing of a directory, until the next request
    KeptConnection m_kept; // the connection curl keeps for the next command
    Inet::Stage m_stage = Inet::Stage::Connecting;
    int m_percent = -1;
    bool m_sending = false;   // inside the exchange that uploads the page
    bool m_sentWhole = false; // the server has the whole page; what follows puts it in place
#if VANTRELL_HAVE_LIBSSH2
    std::unique_ptr<SftpSession> m_session; // over SFTP: the connection, instead of curl's
#endif

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    bool m_stop = false;
    std::atomic<bool> m_abandon{false};
    std::thread m_thread; // last: starts once everything above exists
};

struct Inet::Private {
    QString url;
    QString user;
    QString password;
    bool fromLogin = true;
    std::chrono::milliseconds timeout{std::chrono::seconds(60)};
    std::chrono::milliseconds overall{std::chrono::minutes(10)};
    std::chrono::steady_clock::time_point deadline{};
    QString trustedCertificate;
    QString knownHostsFile; // empty: the user's own, wherever their home is at the time
    SshCredentials ssh;
    QString lastPassphraseWanted;
    int running = 0;
    // Counts the workers made; what an abandoned one still reports is not heard.
    unsigned generation = 0;
    bool lastSucceeded = false;
    QString lastError;
    QString lastNote;
    TrustProblem lastTrust;
    InetFault lastFault = InetFault::Other;
    // The stage the running command has reached, as its thread knows it; what Cancel stopped.
    std::atomic<int> reached{0};
    std::optional<Stage> cancelledDuring;
    std::unique_ptr<InetWorker> worker;
};

Inet::Inet(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {
    initCurlOnce();
}

Inet::~Inet() {
    // Stops the thread before anything it reports to goes away.
    d->worker.reset();
}

void Inet::startWorker() {
    const unsigned worker = ++d->generation;
    d->worker = std::make_unique<InetWorker>(
        [this, worker](const Outcome& outcome, const TrustProblem& trust) {
            QMetaObject::invokeMethod(
                this,
                [this, worker, outcome, trust] {
                    if (worker == d->generation) {
                        d->lastFault = outcome.fault;
                        d->lastPassphraseWanted = outcome.passphraseWanted;
                    }
                    finishCommand(worker, outcome.ok, outcome.error, outcome.note, trust);
                },
                Qt::QueuedConnection);
        },
        [this, worker](Stage stage, int percent) {
            d->reached = int(stage);
            QMetaObject::invokeMethod(
                this,
                [this, worker, stage, percent] {
                    if (worker == d->generation && d->running > 0)
                        emit Progress(stage, percent);
                },
                Qt::QueuedConnection);
        });
}

void Inet::Execute(const QString& operation) {
    if (!d->worker)
        startWorker();
    if (d->running == 0)
        d->reached = int(Stage::Connecting);
    ++d->running;
    if (d->fromLogin)
        d->deadline = std::chrono::steady_clock::now() + d->overall;
    d->worker->enqueue({parseCommand(operation), d->url, d->user, d->password, d->timeout,
                        d->trustedCertificate, KnownHostsFile(), d->ssh,
                        std::exchange(d->fromLogin, false), d->deadline, d->overall});
}

void Inet::setURL(const QString& url) {
    d->url = url;
    d->fromLogin = true;
}

void Inet::setUserName(const QString& userName) {
    d->user = userName;
    d->fromLogin = true;
}

void Inet::setPassword(const QString& password) {
    d->password = password;
    d->fromLogin = true;
}

void Inet::setKeyFile(const QString& path) {
    d->ssh.keyFile = path;
    d->fromLogin = true;
}

void Inet::setKeyPassphrase(const QString& keyFile, const QString& passphrase) {
    d->ssh.passphrases[keyFile] = passphrase;
    d->fromLogin = true;
}

void Inet::setAskForPassphrase(bool ask) {
    d->ssh.askForPassphrase = ask;
    d->fromLogin = true;
}

QString Inet::LastPassphraseWanted() const {
    return d->lastSucceeded ? QString() : d->lastPassphraseWanted;
}

QString Inet::URL() const {
    return d->url;
}

QString Inet::UserName() const {
    return d->user;
}

void Inet::Cancel() {
    d->cancelledDuring.reset();
    if (!d->worker)
        return;
    // The way the end of the control abandons a transfer: the connection is dropped before the
    // page is renamed into place. Once the thread has ended, where it got to is known for sure.
    d->worker.reset();
    ++d->generation;
    d->fromLogin = true;
    if (d->running == 0)
        return;
    d->cancelledDuring = Stage(d->reached.load());
    d->running = 0;
    d->lastSucceeded = false;
    d->lastError = QStringLiteral("Cancelled");
    d->lastPassphraseWanted.clear();
    d->lastNote.clear();
    d->lastTrust = {};
    emit CommandFinished();
}

void Inet::finishCommand(unsigned worker, bool succeeded, const QString& error, const QString& note,
                         const TrustProblem& trust) {
    if (worker != d->generation)
        return;
    --d->running;
    d->lastSucceeded = succeeded;
    d->lastError = error;
    d->lastNote = note;
    d->lastTrust = trust;
    emit CommandFinished();
}

std::optional<Inet::Stage> Inet::CancelledDuring() const {
    return d->cancelledDuring;
}

bool Inet::StillExecuting() const {
    return d->running > 0;
}
bool Inet::LastSucceeded() const {
    return d->lastSucceeded;
}
InetFault Inet::LastFault() const {
    return d->lastSucceeded ? InetFault::Other : d->lastFault;
}

QString Inet::LastError() const {
    return d->lastError;
}
QString Inet::LastNote() const {
    return d->lastNote;
}

void Inet::setTrustedCertificate(const QString& fingerprint) {
    d->trustedCertificate = fingerprint;
}

void Inet::setKnownHostsFile(const QString& path) {
    d->knownHostsFile = path;
}

QString Inet::KnownHostsFile() const {
    return d->knownHostsFile.isEmpty() ? DefaultKnownHostsFile() : d->knownHostsFile;
}

TrustProblem Inet::LastTrustProblem() const {
    return d->lastTrust;
}

void Inet::setOverallTimeout(std::chrono::milliseconds timeout) {
    d->overall = std::max(timeout, std::chrono::milliseconds(1));
}

void Inet::setRequestTimeout(std::chrono::milliseconds timeout) {
    d->timeout = std::max(timeout, std::chrono::milliseconds(1));
}

} // namespace platform
