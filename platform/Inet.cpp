#include "Inet.h"
#include "InetCommand.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QRandomGenerator>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
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
    QStringList serverLines; // the last line of every reply from the server, in order
    QStringList allLines;    // every line the server sent, those inside longer replies too

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
    auto* reply = static_cast<Reply*>(userdata);
    reply->allLines.append(line);
    // A reply's last line is three digits and a blank; the dash form opens a longer reply.
    if (line.size() >= 4 && line[0].isDigit() && line[1].isDigit() && line[2].isDigit() &&
        line[3] == u' ')
        reply->serverLines.append(line);
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

// A reason a person understands: what failed, with the server's reply or curl's words.
QString describe(const Reply& reply, const Site& site, const QString& what,
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

// Puts a new page in the place of the old one on the server, so that wherever a run stops,
// the server holds the old page or the whole new one:
//  - the new page goes up under a name of this upload's own, takes the old page's permissions
//    and is renamed onto the page;
//  - a server that will not rename onto a name in use has the old page moved aside first; it
//    is deleted once the new one is in place, or moved back when the new one cannot go there;
//  - a server that will not take the temporary name, or will not rename it, gets a plain
//    upload under the page's own name, the one way it takes a page.
// The old page is never deleted before the new one is in place, and whatever of this upload's
// own names a failure leaves on the server is deleted where the server allows.
class PageReplacement {
public:
    using Exchange = std::function<Reply(const Request&)>;

    PageReplacement(Exchange exchange, const Site& site, std::chrono::milliseconds timeout,
                    QByteArray dirUrl, const QString& name, QFile& page)
        : m_exchange(std::move(exchange)), m_site(site), m_timeout(timeout),
          m_dirUrl(std::move(dirUrl)), m_name(name), m_page(page) {
        const QString tag = uploadTag();
        m_temp = temporaryName(name, tag);
        m_backup = backupName(name, tag);
    }

    Outcome run() {
        const Reply looked =
            quote({QStringLiteral("*OPTS MLST type;unix.mode;"), QStringLiteral("*MLST ") + m_name,
                   QStringLiteral("*STAT ") + m_name});
        if (looked.code != CURLE_OK)
            return failed(looked);

        m_mode = permissionsIn(looked.allLines, m_name);
        QStringList thenRename = keepMode(m_temp);
        thenRename << QStringLiteral("RNFR ") + m_temp << QStringLiteral("RNTO ") + m_name;
        const Reply stored = upload(m_temp, thenRename);
        if (stored.code == CURLE_OK)
            return {true, {}};
        if (temporaryNameRefused(stored))
            return uploadDirectly();
        if (stored.code != CURLE_QUOTE_ERROR) {
            if (transferBegan(stored))
                remove(m_temp); // what arrived of it
            return failed(stored);
        }
        // The whole new page is on the server under the temporary name.
        if (!renameStarted(stored)) {
            remove(m_temp);
            return uploadDirectly();
        }
        return replaceAside(stored.lastReply());
    }

private:
    // The server took the temporary name but would not rename it onto the page; some servers
    // never rename onto a name in use.
    Outcome replaceAside(const QString& refusal) {
        if (!rename(m_name, m_backup)) {
            remove(m_temp);
            return pageUnchanged(refusal);
        }
        if (rename(m_temp, m_name)) {
            remove(m_backup);
            return {true, {}};
        }
        if (rename(m_backup, m_name)) {
            remove(m_temp);
            return pageUnchanged(refusal);
        }
        // Nothing can be renamed onto the page's name: put the page there the plain way.
        remove(m_temp);
        Outcome direct = uploadDirectly();
        if (direct.ok)
            remove(m_backup);
        else
            direct.error += QStringLiteral("; the old page is kept as \"%1\"").arg(m_backup);
        return direct;
    }

    Outcome uploadDirectly() {
        m_page.seek(0);
        const Reply stored = upload(m_name, keepMode(m_name));
        if (stored.code == CURLE_OK)
            return {true, {}};
        return failed(stored);
    }

    Outcome failed(const Reply& reply) const {
        return {false, describe(reply, m_site,
                                QStringLiteral("Could not upload \"%1\"").arg(m_name), m_timeout)};
    }

    Outcome pageUnchanged(const QString& refusal) const {
        return {false, QStringLiteral("Could not rename the uploaded page to \"%1\" (%2); the "
                                      "page on the server is unchanged")
                           .arg(m_name, refusal)};
    }

    // A new file takes the server's mode for new files, which may keep the web server from
    // reading it: give it the old page's mode where the server lets it.
    QStringList keepMode(const QString& name) const {
        if (!m_mode)
            return {};
        return {QStringLiteral("*SITE CHMOD %1 %2").arg(*m_mode, 3, 8, QChar(u'0')).arg(name)};
    }

    Reply upload(const QString& name, const QStringList& then) {
        return m_exchange({m_dirUrl + QUrl::toPercentEncoding(name), &m_page, then});
    }
    Reply quote(const QStringList& commands) { return m_exchange({m_dirUrl, nullptr, commands}); }
    bool rename(const QString& from, const QString& to) {
        return quote({QStringLiteral("RNFR ") + from, QStringLiteral("RNTO ") + to}).code ==
               CURLE_OK;
    }
    // Deletes one of this upload's own names, where the server allows.
    void remove(const QString& name) { quote({QStringLiteral("*DELE ") + name}); }

    // The server would not create the temporary file for good (a 5xx reply to STOR), not for
    // want of space, where a plain upload would cut the page short.
    static bool temporaryNameRefused(const Reply& reply) {
        const QString refusal = reply.lastRefusal();
        return reply.code == CURLE_UPLOAD_FAILED && refusal.startsWith(u'5') &&
               !refusal.startsWith(u"552");
    }

    // The server answered the upload with a preliminary reply (150 or 125) and so opened the file.
    static bool transferBegan(const Reply& reply) {
        return std::any_of(reply.serverLines.begin(), reply.serverLines.end(),
                           [](const QString& line) { return line.startsWith(u'1'); });
    }

    // RNFR answered 350, so it was RNTO that failed.
    static bool renameStarted(const Reply& reply) {
        const QStringList& lines = reply.serverLines;
        return lines.size() >= 2 && lines[lines.size() - 2].startsWith(u"350");
    }

    // Other runs of the program, here or on other machines, may upload the same page at the
    // same time.
    static QString uploadTag() {
        return QStringLiteral("%1-%2")
            .arg(QCoreApplication::applicationPid())
            .arg(QRandomGenerator::system()->generate(), 8, 16, QChar(u'0'));
    }

    Exchange m_exchange;
    const Site& m_site;
    std::chrono::milliseconds m_timeout;
    QByteArray m_dirUrl;
    QString m_name;
    QFile& m_page;
    std::optional<int> m_mode; // the old page's permissions, where the server told them
    QString m_temp;
    QString m_backup;
};

} // namespace

// Runs the commands, one after the other, on a thread of its own that owns the curl handles,
// so the connection (and its login) carries over from one command to the next.
class InetWorker {
public:
    using Report = std::function<void(const Outcome&)>;

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
            Outcome outcome = perform(job);
            if (m_abandon)
                break;
            outcome.error = redact(outcome.error, job.password);
            m_report(outcome);
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
        PageReplacement replacement(
            [this, &job](const Request& request) { return exchange(job, request); }, site,
            job.timeout, site.base + dir.urlPath(), cmd.remoteName, file);
        return replacement.run();
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
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &reply);
        curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_MULTICWD));
        // ".." is the server's to resolve: above the login directory, or through a link, it
        // leads where no rewriting of the text can tell.
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
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
            if (m_abandon) {
                reply.code = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
            // A reply that came in may have moved curl on to a step it has not started yet
            // (after EPSV, the data connection), with nothing to wait for meanwhile: this
            // curl would then sit out the whole wait before connecting.
            if (reply.allLines.size() != linesBefore)
                continue;
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
    int running = 0;
    bool lastSucceeded = false;
    QString lastError;
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
        d->worker = std::make_unique<InetWorker>([this](const Outcome& outcome) {
            QMetaObject::invokeMethod(
                this, [this, outcome] { finishCommand(outcome.ok, outcome.error); },
                Qt::QueuedConnection);
        });
    }
    ++d->running;
    d->worker->enqueue({parseCommand(operation), d->url, d->user, d->password, d->timeout,
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

void Inet::finishCommand(bool succeeded, const QString& error) {
    --d->running;
    d->lastSucceeded = succeeded;
    d->lastError = error;
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

void Inet::setRequestTimeout(std::chrono::milliseconds timeout) {
    d->timeout = std::max(timeout, std::chrono::milliseconds(1));
}

} // namespace platform
