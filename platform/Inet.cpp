#include "Inet.h"
#include "HostKeyTrust.h"
#include "InetCommand.h"

#include <QFile>
#include <QMetaObject>
#include <QUrl>

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
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
};

struct Outcome {
    bool ok = false;
    QString error;
};

// One exchange with the server through curl: log in (or reuse the connection), change to the
// URL's directory, then upload or do nothing, then the quoted commands.
struct Request {
    QByteArray url;
    QFile* upload = nullptr;
    QStringList postQuote;
};

struct Reply {
    CURLcode code = CURLE_OK;
    QString curlError;
    QStringList serverLines; // every reply line from the server, in order

    QString lastReply() const { return serverLines.isEmpty() ? QString() : serverLines.last(); }
    // The last line, when it says something went wrong (4xx, 5xx).
    QString lastRefusal() const {
        const QString last = lastReply();
        return last.startsWith(u'4') || last.startsWith(u'5') ? last : QString();
    }
};

size_t onHeader(char* data, size_t size, size_t count, void* userdata) {
    const size_t bytes = size * count;
    const QString line = QString::fromUtf8(data, qsizetype(bytes)).trimmed();
    // A reply line is three digits and a blank; the dash form opens a multi-line reply.
    if (line.size() >= 4 && line[0].isDigit() && line[1].isDigit() && line[2].isDigit() &&
        line[3] == u' ')
        static_cast<QStringList*>(userdata)->append(line);
    return bytes;
}

size_t onRead(char* buffer, size_t size, size_t count, void* userdata) {
    auto* file = static_cast<QFile*>(userdata);
    const qint64 got = file->read(buffer, qint64(size * count));
    return got < 0 ? CURL_READFUNC_ABORT : size_t(got);
}

QString withDetail(const QString& what, const QString& detail) {
    return detail.isEmpty() ? what : QStringLiteral("%1 (%2)").arg(what, detail);
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

    explicit InetWorker(Report report)
        : m_report(std::move(report)), m_easy(curl_easy_init()), m_multi(curl_multi_init()) {
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
            Outcome outcome = perform(job);
            if (m_abandon)
                break;
            outcome.error = redact(outcome.error, job.password);
            m_report(outcome, m_trust);
        }
        sayGoodbye();
    }

    // Cleaning up the multi handle sends QUIT on the idle connection and waits for the answer
    // as long as the last request's response time-out allows; curl takes that time-out from
    // the handle added last. A server that has gone quiet must not hold up the end of the
    // control for a minute.
    void sayGoodbye() {
        if (!m_easy || !m_multi)
            return;
        curl_easy_reset(m_easy.get());
        curl_easy_setopt(m_easy.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_easy.get(), CURLOPT_SERVER_RESPONSE_TIMEOUT, 1L);
        if (curl_multi_add_handle(m_multi.get(), m_easy.get()) == CURLM_OK)
            curl_multi_remove_handle(m_multi.get(), m_easy.get());
    }

    Outcome perform(const Job& job) {
        if (job.command.kind == Command::Kind::Invalid)
            return {false, job.command.error};
        if (!m_easy || !m_multi)
            return {false, QStringLiteral("The FTP client could not be set up.")};

        QString error;
        const std::optional<Site> site = parseSite(job.url, &error);
        if (!site)
            return {false, error};
        if (error = checkCredentials(job.user, job.password); !error.isEmpty())
            return {false, error};

        // Another server or login starts again from its login directory.
        if (job.fromLogin || job.url != m_url || job.user != m_user || job.password != m_password) {
            m_url = job.url;
            m_user = job.user;
            m_password = job.password;
            m_current = site->start;
        }

        return job.command.kind == Command::Kind::Cd ? changeDirectory(job, *site)
                                                     : put(job, *site);
    }

    Outcome changeDirectory(const Job& job, const Site& site) {
        const RemotePath target = m_current.joined(RemotePath::parse(job.command.directory));
        // curl changes into the URL's directory one step at a time and fails when the server
        // refuses a step; with nothing to transfer, that is the whole request.
        const Reply reply = exchange(job, {site.base + target.urlPath(), nullptr, {}});
        if (reply.code != CURLE_OK) {
            return {false, describe(reply, site,
                                    QStringLiteral("Could not change to directory "
                                                   "\"%1\"")
                                        .arg(job.command.directory),
                                    job.timeout)};
        }
        m_current = target;
        return {true, {}};
    }

    Outcome put(const Job& job, const Site& site) {
        const Command& cmd = job.command;
        QFile file(cmd.localFile);
        if (!file.open(QIODevice::ReadOnly)) {
            return {false, QStringLiteral("Could not read the local file \"%1\" (%2)")
                               .arg(cmd.localFile, file.errorString())};
        }
        const RemotePath dir = m_current.joined(cmd.putDir);
        const QByteArray dirUrl = site.base + dir.urlPath();
        const QString temp = temporaryName(cmd.remoteName);

        Reply reply = exchange(job, {dirUrl + QUrl::toPercentEncoding(temp),
                                     &file,
                                     {"RNFR " + temp, "RNTO " + cmd.remoteName}});
        if (reply.code == CURLE_OK)
            return {true, {}};

        const QString failed = QStringLiteral("Could not upload \"%1\"").arg(cmd.remoteName);
        if (reply.code != CURLE_QUOTE_ERROR)
            return {false, describe(reply, site, failed, job.timeout)};

        // The whole file is on the server under its temporary name. When the rename itself
        // was refused (RNFR answered 350, RNTO did not), the server may just not rename onto
        // an existing file: remove the old one and rename again.
        const QStringList& lines = reply.serverLines;
        const bool renameRefused = lines.size() >= 2 && lines[lines.size() - 2].startsWith(u"350");
        if (!renameRefused) {
            return {false, withDetail(QStringLiteral("Could not rename the uploaded \"%1\" to "
                                                     "\"%2\"")
                                          .arg(temp, cmd.remoteName),
                                      reply.lastReply())};
        }
        reply =
            exchange(job, {dirUrl,
                           nullptr,
                           {"DELE " + cmd.remoteName, "RNFR " + temp, "RNTO " + cmd.remoteName}});
        if (reply.code == CURLE_OK)
            return {true, {}};
        return {false, describe(reply, site,
                                QStringLiteral("Could not replace \"%1\" with the uploaded \"%2\"")
                                    .arg(cmd.remoteName, temp),
                                job.timeout)};
    }

    // A reason a person understands: what failed, with the server's reply or curl's words.
    static QString describe(const Reply& reply, const Site& site, const QString& what,
                            std::chrono::milliseconds timeout) {
        const QString refusal = reply.lastRefusal();
        switch (reply.code) {
        case CURLE_LOGIN_DENIED:
            return withDetail(QStringLiteral("Login denied"), refusal);
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
            return withDetail(QStringLiteral("Could not connect to %1").arg(site.hostAndPort),
                              reply.curlError);
        case CURLE_OPERATION_TIMEDOUT: {
            const QString limit = QString::number(double(timeout.count()) / 1000.0) + " s";
            if (reply.serverLines.isEmpty())
                return withDetail(
                    QStringLiteral("No answer from %1 within %2").arg(site.hostAndPort, limit),
                    reply.curlError);
            return withDetail(
                QStringLiteral("%1: the server stopped answering for %2").arg(what, limit),
                reply.curlError);
        }
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_UPLOAD_FAILED:
        case CURLE_QUOTE_ERROR:
            return withDetail(what, refusal.isEmpty() ? reply.curlError : refusal);
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
            return withDetail(QStringLiteral("%1: the connection was cut off").arg(what),
                              refusal.isEmpty() ? reply.curlError
                                                : reply.curlError + QStringLiteral("; ") + refusal);
        default:
            break;
        }
        QString detail = reply.curlError;
        if (!refusal.isEmpty())
            detail += (detail.isEmpty() ? QString() : QStringLiteral("; ")) + refusal;
        return withDetail(what, detail);
    }

    Reply exchange(const Job& job, const Request& request) {
        Reply reply;
        if (m_abandon) {
            reply.code = CURLE_ABORTED_BY_CALLBACK;
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
#if LIBCURL_VERSION_NUM >= 0x075500
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp");
#else
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS, long(CURLPROTO_FTP));
#endif
        // Never in the URL: curl would quote the URL in its messages.
        curl_easy_setopt(easy, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, password.constData());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &reply.serverLines);
        curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_MULTICWD));
        curl_easy_setopt(easy, CURLOPT_TRANSFERTEXT, 0L); // the page is bytes; CR LF stays
        curl_easy_setopt(easy, CURLOPT_FTPPORT, nullptr); // passive

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
        } else {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        }
        if (postQuote)
            curl_easy_setopt(easy, CURLOPT_POSTQUOTE, postQuote.get());

        CURLM* multi = m_multi.get();
        if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
            reply.code = CURLE_FAILED_INIT;
            return reply;
        }
        bool done = false;
        while (!done) {
            int running = 0;
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
            if (m_abandon) {
                reply.code = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        // Removed mid-transfer, the handle drops its connection without sending the renames:
        // the page on the server stays as it was.
        curl_multi_remove_handle(multi, easy);

        if (reply.code != CURLE_OK && reply.curlError.isEmpty()) {
            reply.curlError = QString::fromUtf8(errorBuffer).trimmed();
            if (reply.curlError.isEmpty())
                reply.curlError = QString::fromUtf8(curl_easy_strerror(reply.code));
        }
        return reply;
    }

    Report m_report;
    EasyHandle m_easy;
    MultiHandle m_multi; // after the easy handle: cleaned up first

    // Worker thread only.
    QString m_url;
    QString m_user;
    QString m_password;
    RemotePath m_current;
    TrustProblem m_trust; // why the command's server was not trusted, if it was not

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
    QString trustedCertificate;
    QString knownHostsFile; // empty: the user's own, wherever their home is at the time
    int running = 0;
    bool lastSucceeded = false;
    QString lastError;
    TrustProblem lastTrust;
    std::unique_ptr<InetWorker> worker;
};

Inet::Inet(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {
    initCurlOnce();
}

Inet::~Inet() {
    // Stops the thread before anything it reports to goes away.
    d->worker.reset();
}

void Inet::Execute(const QString& operation) {
    if (!d->worker) {
        d->worker = std::make_unique<InetWorker>([this](const Outcome& outcome,
                                                        const TrustProblem& trust) {
            QMetaObject::invokeMethod(
                this, [this, outcome, trust] { finishCommand(outcome.ok, outcome.error, trust); },
                Qt::QueuedConnection);
        });
    }
    ++d->running;
    d->worker->enqueue({parseCommand(operation), d->url, d->user, d->password, d->timeout,
                        d->trustedCertificate, KnownHostsFile(),
                        std::exchange(d->fromLogin, false)});
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

void Inet::finishCommand(bool succeeded, const QString& error, const TrustProblem& trust) {
    --d->running;
    d->lastSucceeded = succeeded;
    d->lastError = error;
    d->lastTrust = trust;
    emit CommandFinished();
}

bool Inet::StillExecuting() const {
    return d->running > 0;
}
bool Inet::LastSucceeded() const {
    return d->lastSucceeded;
}
QString Inet::LastError() const {
    return d->lastError;
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

void Inet::setRequestTimeout(std::chrono::milliseconds timeout) {
    d->timeout = std::max(timeout, std::chrono::milliseconds(1));
}

} // namespace platform
