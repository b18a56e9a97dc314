#include "Inet.h"
#include "HostKeyTrust.h"
#include "InetCommand.h"
#include "InetDialect.h"
#include "InetExchange.h"
#include "InetSite.h"
#include "PageReplacement.h"
#if VANTRELL_HAVE_LIBSSH2
#include "SftpProbe.h"
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

struct EasyCleanup {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiCleanup {
    void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct SlistCleanup {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using Slist = std::unique_ptr<curl_slist, SlistCleanup>;

bool append(Slist& list, const QString& line) {
    curl_slist* head = curl_slist_append(list.get(), line.toUtf8().constData());
    if (!head)
        return false;
    if (!list)
        list.reset(head);
    return true;
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
    // The control was pointed at a server since the last command: start from the login folder.
    bool fromLogin = false;
    // When the upload these commands make up has had all the time it may take.
    std::chrono::steady_clock::time_point deadline{};
    std::chrono::milliseconds overall{};
};

QString durationText(std::chrono::milliseconds ms) {
    if (ms.count() % 60000 == 0)
        return QStringLiteral("%1 min").arg(ms.count() / 60000);
    return QString::number(double(ms.count()) / 1000.0) + QStringLiteral(" s");
}

size_t onHeader(char* data, size_t size, size_t count, void* userdata) {
    const size_t bytes = size * count;
    const QString line = QString::fromUtf8(data, qsizetype(bytes)).trimmed();
    auto* reply = static_cast<Reply*>(userdata);
    reply->allLines.append(line);
    reply->allAnswering.append(reply->sent);
    // A reply's last line is three digits and a blank; the dash form opens a longer reply.
    if (line.size() >= 4 && line[0].isDigit() && line[1].isDigit() && line[2].isDigit() &&
        line[3] == u' ') {
        reply->serverLines.append(line);
        reply->answering.append(reply->sent);
    }
    return bytes;
}

// Only the command itself is kept: the argument of PASS is the password.
int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* userdata) {
    auto* reply = static_cast<Reply*>(userdata);
    const QByteArray line = QByteArray(data, qsizetype(size)).trimmed();
    // curl's word that the SSH server took the login.
    if (type == CURLINFO_TEXT && line.startsWith("Authentication complete"))
        reply->loggedIn = true;
    if (type == CURLINFO_HEADER_OUT) {
        const qsizetype blank = line.indexOf(' ');
        reply->sent = QString::fromLatin1(blank < 0 ? line : line.left(blank)).toUpper();
        reply->passwordSent = reply->passwordSent || reply->sent == u"PASS";
    }
    // curl's own words, the one place it tells whether it will try the password over SSH.
    static const QByteArray methods = "SSH authentication methods available: ";
    if (type == CURLINFO_TEXT && line.startsWith(methods)) {
        reply->sshMethods = QString::fromLatin1(line.mid(methods.size()));
        reply->passwordSent = reply->sshMethods.contains(u"password") ||
                              reply->sshMethods.contains(u"keyboard-interactive");
    }
    return 0;
}

// Where one request stands against the limits on its time.
struct Progress {
    const std::atomic<bool>* abandon = nullptr;
    // The request is cut when the upload is out of time, until it has sent all its data: the
    // commands that follow the data rename the page and run to their end.
    bool limited = false;
    std::chrono::steady_clock::time_point deadline{};
    bool allSent = false;
    bool outOfTime = false;
    // Told how much of the data has gone.
    std::function<void(curl_off_t toSend, curl_off_t sent)> report;

    bool mayGoOn() {
        if (limited && !allSent && std::chrono::steady_clock::now() >= deadline)
            outOfTime = true;
        return !abandon->load() && !outOfTime;
    }
};

int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t toSend, curl_off_t sent) {
    auto* progress = static_cast<Progress*>(userdata);
    if (toSend > 0 && sent >= toSend)
        progress->allSent = true;
    if (progress->report)
        progress->report(toSend, sent);
    return progress->mayGoOn() ? 0 : 1;
}

size_t onBody(char* data, size_t size, size_t count, void* userdata) {
    static_cast<QByteArray*>(userdata)->append(data, qsizetype(size * count));
    return size * count;
}

size_t onRead(char* buffer, size_t size, size_t count, void* userdata) {
    auto* file = static_cast<QFile*>(userdata);
    const qint64 got = file->read(buffer, qint64(size * count));
    return got < 0 ? CURL_READFUNC_ABORT : size_t(got);
}

long wholeSeconds(std::chrono::milliseconds ms) {
    return long(std::max<std::chrono::milliseconds::rep>(1, (ms.count() + 999) / 1000));
}

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
            Outcome outcome = perform(job);
            if (m_abandon)
                break;
            outcome.error = redact(outcome.error, job.password);
            outcome.note = redact(outcome.note, job.password);
            m_report(outcome, m_trust);
        }
        dropProbe();
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
        if (m_socket != CURL_SOCKET_BAD)
#if defined(Q_OS_WIN)
            shutdown(m_socket, SD_BOTH);
#else
            shutdown(m_socket, SHUT_RDWR);
#endif
        m_socket = CURL_SOCKET_BAD;
        m_carriedData = false;
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
            dropProbe();
        }
        startProbe(job, *site);
        // Read once for all the connections of an upload: the bundle holds some hundred
        // certificates.
        if ((site->protocol == Protocol::Ftpes || site->protocol == Protocol::Ftps) &&
            !m_authorities)
            m_authorities = std::make_unique<SystemCertificates>();

        const std::unique_ptr<Dialect> dialect =
            Dialect::For(*site, job.trustedCertificate, m_authorities.get(), job.knownHostsFile);
        Outcome outcome = job.command.kind == Command::Kind::Cd
                              ? changeDirectory(job, *site, *dialect)
                              : put(job, *site, *dialect);
        // Kept only for the upload that follows a change of directory.
        if (job.command.kind == Command::Kind::Put || !outcome.ok)
            dropProbe();
        m_trust = dialect->trustProblem();
        if (!outcome.ok)
            outcome.fault = faultOf(m_lastCode, job.command.kind);
        if (!outcome.ok && m_trust.kind != TrustProblem::Kind::None)
            outcome.error = untrusted(m_trust, *site);
        else if (!outcome.ok && !dialect->connectProblem().isEmpty())
            outcome.error = dialect->connectProblem();
        else if (!outcome.ok && !m_refused.isEmpty())
            outcome.error = m_refused;
        return outcome;
    }

    // What the last exchange's ending says about the settings. A directory that cannot be
    // changed to, on a server that let the user in, is the directory's fault.
    static InetFault faultOf(CURLcode code, Command::Kind command) {
        switch (code) {
        case CURLE_LOGIN_DENIED:
            return InetFault::Login;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_WEIRD_SERVER_REPLY:
            return InetFault::Site;
        case CURLE_OK:
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_REMOTE_FILE_NOT_FOUND:
        case CURLE_QUOTE_ERROR:
            return command == Command::Kind::Cd ? InetFault::Directory : InetFault::Other;
        default:
            return InetFault::Other;
        }
    }

    static QString untrusted(const TrustProblem& problem, const Site& site) {
        switch (problem.kind) {
        case TrustProblem::Kind::Certificate:
            return QStringLiteral(
                       "The certificate of %1 is not trusted (%2); the login was not sent")
                .arg(site.hostAndPort, problem.reason);
        case TrustProblem::Kind::NewHostKey:
            return QStringLiteral("The host key of %1 is not known; the login was not sent")
                .arg(site.hostAndPort);
        case TrustProblem::Kind::ChangedHostKey:
            return QStringLiteral("The host key of %1 has changed; the login was not sent")
                .arg(site.hostAndPort);
        case TrustProblem::Kind::RevokedHostKey:
            return QStringLiteral("The host key of %1 is revoked; the login was not sent")
                .arg(site.hostAndPort);
        case TrustProblem::Kind::None:
            break;
        }
        return {};
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
        std::optional<UploadJournal> journal;
#if VANTRELL_HAVE_LIBSSH2
        if (m_probe) {
            lookup = [this](const RemotePath& in, const QString& name) {
                QString path = in.display();
                if (!path.isEmpty() && !path.endsWith(u'/'))
                    path += u'/';
                std::optional<NameFacts> facts = m_probe->look(path + name);
                dropProbe();
                return facts;
            };
            journal.emplace(job.user + u'@' + site.hostAndPort,
                            dir.display() + u'/' + cmd.remoteName);
        }
#endif
        PageReplacement replacement(
            [this, &job, &dialect](const Request& request) {
                return exchange(job, dialect, request);
            },
            dialect, site.hostAndPort, job.timeout, dir, cmd.remoteName, file, std::move(lookup),
            journal ? &*journal : nullptr);
        return replacement.run();
    }

    // Over SFTP, a connection of the program's own asks about the page beside curl's (which
    // cannot): it connects at once, while curl does.
    void startProbe([[maybe_unused]] const Job& job, [[maybe_unused]] const Site& site) {
#if VANTRELL_HAVE_LIBSSH2
        if (site.protocol == Protocol::Sftp && !m_probe)
            m_probe = std::make_unique<SftpProbe>(site, job.user, job.password, job.knownHostsFile,
                                                  job.timeout, m_abandon);
#endif
    }

    void dropProbe() {
#if VANTRELL_HAVE_LIBSSH2
        m_probe.reset();
#endif
    }

    // Tells the probe how curl's login went: it logs in only after curl's was taken.
    void tellProbe([[maybe_unused]] const Reply& reply) {
#if VANTRELL_HAVE_LIBSSH2
        if (!m_probe)
            return;
        if (reply.loggedIn || reply.code == CURLE_OK || reply.refusedOnly())
            m_probe->loginTaken();
        else
            m_probe->giveUp();
#endif
    }

    Reply exchange(const Job& job, Dialect& dialect, const Request& request) {
        Reply reply = exchangeOnce(job, dialect, request);
        m_lastCode = reply.code;
        if (reply.code != CURLE_OK && dialect.askAgain(reply))
            reply = exchangeOnce(job, dialect, request);
        tellProbe(reply);
        return reply;
    }

    Reply exchangeOnce(const Job& job, Dialect& dialect, const Request& request) {
        Reply reply;
        // The listing that the change of directory just made serves the upload that follows
        // it, once.
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
        const QString tooLong = QStringLiteral("the upload took longer than the %1 it may take")
                                    .arg(durationText(job.overall));
        if (!request.finishing && std::chrono::steady_clock::now() >= job.deadline) {
            reply.code = CURLE_OPERATION_TIMEDOUT;
            reply.outOfTime = true;
            reply.curlError = tooLong;
            return reply;
        }
        CURL* easy = m_easy.get();
        curl_easy_reset(easy);
        char errorBuffer[CURL_ERROR_SIZE] = {};
        Slist postQuote;
        for (const QString& line : request.postQuote) {
            if (!append(postQuote, line)) {
                reply.code = CURLE_OUT_OF_MEMORY;
                return reply;
            }
        }
        const QByteArray user = job.user.toUtf8();
        const QByteArray password = job.password.toUtf8();

        curl_easy_setopt(easy, CURLOPT_URL, request.url.constData());
        // Never in the URL: curl would quote the URL in its messages.
        curl_easy_setopt(easy, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, password.constData());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
        // Some replies curl waits for on its own, outside the loop below (the one that ends
        // an upload); it asks the progress callback once a second meanwhile, so an abandoned
        // transfer stops there too instead of sitting out the time-out.
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
        Progress limits{
            &m_abandon, !request.finishing && !request.whole, job.deadline, false, false, {}};
        limits.report = [this](curl_off_t toSend, curl_off_t sent) {
            if (m_sending && toSend > 0)
                progress(sent >= toSend ? Inet::Stage::Replacing : Inet::Stage::Uploading,
                         int(sent * 100 / toSend));
        };
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &limits);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &reply);
        // Tells which command each reply answers; curl passes the commands it sends to the
        // debug callback alone, which it calls only when verbose.
        curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, onDebug);
        curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &reply);
        curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
        // ".." is the server's to resolve: above the login directory, or through a link, it
        // leads where no rewriting of the text can tell.
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
        QString refused;
        if (!dialect.prepare(easy, request, &refused)) {
            reply.code = CURLE_NOT_BUILT_IN;
            reply.curlError = refused;
            m_refused = refused;
            return reply;
        }

        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(job.timeout.count()));
        curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(job.timeout));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, wholeSeconds(job.timeout));

        if (request.upload) {
            curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, request.upload);
            curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(request.upload->size()));
            // Larger pieces than the default 64 KiB: fewer trips through the read callback.
            curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
        } else if (request.listing != Request::Listing::None) {
            curl_easy_setopt(easy, CURLOPT_DIRLISTONLY,
                             long(request.listing == Request::Listing::Names));
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply.body);
        } else {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
            // Over SFTP: one request, which follows links and fails for a missing name.
            curl_easy_setopt(easy, CURLOPT_FILETIME, long(request.fileTime));
        }
        if (postQuote)
            curl_easy_setopt(easy, CURLOPT_POSTQUOTE, postQuote.get());
        const bool carriesData = request.upload || request.listing != Request::Listing::None;
        if (carriesData && m_carriedData && dialect.oneTransferPerConnection()) {
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
            ~Sent() {
                worker.m_sentWhole = worker.m_sentWhole || worker.m_sending;
                worker.m_sending = false;
            }
        } sent{*this};

        CURLM* multi = m_multi.get();
        if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
            reply.code = CURLE_FAILED_INIT;
            return reply;
        }
        bool done = false;
        while (!done) {
            int running = 0;
            const qsizetype linesBefore = reply.allLines.size();
            if (const CURLMcode mc = curl_multi_perform(multi, &running); mc != CURLM_OK) {
                reply.code = CURLE_FAILED_INIT;
                reply.curlError = QString::fromUtf8(curl_multi_strerror(mc));
                break;
            }
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
                    reply.code = msg->data.result;
                    done = true;
                }
            }
            if (done)
                break;
#if VANTRELL_HAVE_LIBSSH2
            if (reply.loggedIn && m_probe)
                m_probe->loginTaken();
#endif
            if (!limits.mayGoOn()) {
                reply.code = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
            // A reply that came in may have moved curl on to a step it has not started yet
            // (after EPSV, the data connection), with nothing to wait for meanwhile: this
            // curl would then sit out the whole wait before connecting.
            if (reply.allLines.size() != linesBefore)
                continue;
            // Nor does this curl always wait on the connection it is setting up for the data
            // (the TLS handshake of an FTPS data connection, which some servers answer only
            // once the upload command has arrived): look again soon while data is to flow.
            curl_multi_poll(multi, nullptr, 0, carriesData ? 20 : 1000, nullptr);
        }
        // The connection kept for the next command, if curl kept one.
        curl_socket_t kept = CURL_SOCKET_BAD;
        if (done && curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &kept) != CURLE_OK)
            kept = CURL_SOCKET_BAD;
        long connects = 0;
        curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
        if (connects > 0 || kept != m_socket)
            m_carriedData = false;
        // A refused upload command never opened the data connection.
        m_carriedData = m_carriedData ||
                        (carriesData &&
                         (reply.code == CURLE_OK ||
                          std::any_of(reply.serverLines.begin(), reply.serverLines.end(),
                                      [](const QString& line) { return line.startsWith(u'1'); })));
        m_socket = kept;
        if (done && request.fileTime) {
            curl_off_t time = -1;
            if (curl_easy_getinfo(easy, CURLINFO_FILETIME_T, &time) == CURLE_OK)
                reply.fileTime = qint64(time);
        }
        // Removed mid-transfer, the handle drops its connection without sending the renames:
        // the page on the server stays as it was.
        curl_multi_remove_handle(multi, easy);

        if (limits.outOfTime && !m_abandon) {
            reply.code = CURLE_OPERATION_TIMEDOUT;
            reply.outOfTime = true;
            reply.curlError = tooLong;
        }
        if (reply.code != CURLE_OK && reply.curlError.isEmpty()) {
            reply.curlError = QString::fromUtf8(errorBuffer).trimmed();
            if (reply.curlError.isEmpty())
                reply.curlError = QString::fromUtf8(curl_easy_strerror(reply.code));
        }
        return reply;
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
    struct Listing {
        QByteArray url;
        QByteArray body;
    };
    Listing m_listing; // the last long listing of a directory, until the next request
    curl_socket_t m_socket = CURL_SOCKET_BAD; // of the connection kept for the next command
    bool m_carriedData = false;               // that connection has carried a transfer of data
    Inet::Stage m_stage = Inet::Stage::Connecting;
    int m_percent = -1;
    bool m_sending = false;   // inside the exchange that uploads the page
    bool m_sentWhole = false; // the command has sent the page; what follows puts it in place
#if VANTRELL_HAVE_LIBSSH2
    std::unique_ptr<SftpProbe> m_probe; // beside curl's SFTP connection, until the upload
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
    int running = 0;
    // Counts the workers made; what an abandoned one still reports is not heard.
    unsigned generation = 0;
    bool lastSucceeded = false;
    QString lastError;
    QString lastNote;
    TrustProblem lastTrust;
    InetFault lastFault = InetFault::Other;
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
                    if (worker == d->generation)
                        d->lastFault = outcome.fault;
                    finishCommand(worker, outcome.ok, outcome.error, outcome.note, trust);
                },
                Qt::QueuedConnection);
        },
        [this, worker](Stage stage, int percent) {
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
    ++d->running;
    if (d->fromLogin)
        d->deadline = std::chrono::steady_clock::now() + d->overall;
    d->worker->enqueue({parseCommand(operation), d->url, d->user, d->password, d->timeout,
                        d->trustedCertificate, KnownHostsFile(), std::exchange(d->fromLogin, false),
                        d->deadline, d->overall});
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

QString Inet::URL() const {
    return d->url;
}

QString Inet::UserName() const {
    return d->user;
}

void Inet::Cancel() {
    if (!d->worker)
        return;
    // The way the end of the control abandons a transfer: the connection is dropped before the
    // page is renamed into place.
    d->worker.reset();
    ++d->generation;
    d->fromLogin = true;
    if (d->running == 0)
        return;
    d->running = 0;
    d->lastSucceeded = false;
    d->lastError = QStringLiteral("Cancelled");
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
