#include "HttpFetch.h"

#include "AppInfo.h"
#include "Process.h"
#include "SystemCertificates.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace platform {

namespace {

struct EasyCleanup {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};

struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void initCurlOnce() {
    // Never cleaned up: a lookup that overran its time-out may still be using it at exit.
    static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialized);
}

struct Sink {
    HttpReply* reply;
    qsizetype limit;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    QByteArray& body = sink->reply->body;
    const qsizetype room = sink->limit - body.size();
    const qsizetype n = qsizetype(size * count);
    body.append(data, qMin(n, room));
    if (n > room) {
        sink->reply->tooLong = true;
        return 0;
    }
    return size * count;
}

// Each answer's header lines, redirects' included: only the last answer's Age counts.
size_t header(char* data, size_t size, size_t count, void* user) {
    auto* reply = static_cast<HttpReply*>(user);
    const QByteArrayView line(data, qsizetype(size * count));
    if (line.startsWith("HTTP/"))
        reply->cached = false;
    else if (line.size() > 4 && qstrnicmp(line.data(), "age:", 4) == 0)
        reply->cached = true;
    return size * count;
}

bool tlsFailure(CURLcode code) {
    switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return true;
    default:
        return false;
    }
}

#if !defined(Q_OS_WIN)
// Read when the request's first secure connection asks for them: a router is asked over plain
// HTTP and needs none.
CURLcode trustAuthorities(CURL*, void* sslContext, void* user) {
    auto* authorities = static_cast<std::optional<SystemCertificates>*>(user);
    if (!*authorities)
        authorities->emplace();
    return (*authorities)->Give(sslContext) ? CURLE_OK : CURLE_SSL_CERTPROBLEM;
}
#endif

// Which protocols the request may take, and the certificate check.
void secure(CURL* h, const HttpRequest& request, std::optional<SystemCertificates>* authorities) {
    // A service reached over HTTPS must not be able to send us on to plain HTTP.
    const bool https = request.url.left(8).toLower() == "https://";
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, request.plainOnly ? "http" : "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
#else
    curl_easy_setopt(h, CURLOPT_PROTOCOLS,
                     request.plainOnly ? long(CURLPROTO_HTTP)
                                       : long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS,
                     https ? long(CURLPROTO_HTTPS) : long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
#if !defined(Q_OS_WIN)
    // The authorities come from the store the transfers read, not from curl: OpenSSL would open
    // the folder's files in the middle of the handshake.
    curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &trustAuthorities);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, authorities);
#else
    Q_UNUSED(authorities);
#endif
}

// Carries the reply from the fetching thread to the waiting one; a reply that comes after the
// waiting one has gone is dropped.
class FetchAside : public QObject {
    Q_OBJECT
public:
    explicit FetchAside(const HttpRequest& request) : m_shared(std::make_shared<Shared>()) {
        m_shared->receiver = this;
        std::thread([shared = m_shared, request] {
            const HttpReply reply = HttpFetch(request);
            std::lock_guard lock(shared->mutex);
            if (FetchAside* receiver = shared->receiver)
                QMetaObject::invokeMethod(
                    receiver, [receiver, reply] { receiver->finish(reply); }, Qt::QueuedConnection);
        }).detach();
    }
    ~FetchAside() override {
        std::lock_guard lock(m_shared->mutex);
        m_shared->receiver = nullptr;
    }

    bool IsFinished() const { return m_finished; }
    HttpReply Reply() const { return m_reply; }

signals:
    void finished();

private:
    struct Shared {
        std::mutex mutex;
        FetchAside* receiver = nullptr;
    };

    void finish(const HttpReply& reply) {
        m_reply = reply;
        m_finished = true;
        emit finished();
    }

    std::shared_ptr<Shared> m_shared;
    HttpReply m_reply;
    bool m_finished = false;
};

} // namespace

HttpReply HttpFetch(const HttpRequest& request) {
    HttpReply reply;
    initCurlOnce();
    std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
    if (!curl) {
        reply.error = QStringLiteral("the web client could not start");
        return reply;
    }
    const qint64 left = request.deadline.remainingTime();
    if (left == 0) {
        reply.timedOut = true;
        return reply;
    }
    Sink sink{&reply, request.limit};
    char message[CURL_ERROR_SIZE] = {};
    const QByteArray agent = QStringLiteral("Vantrell/%1.%2.%3")
                                 .arg(App::Major)
                                 .arg(App::Minor)
                                 .arg(App::Revision)
                                 .toLatin1();
    std::unique_ptr<curl_slist, ListCleanup> headers;
    for (const QByteArray& header : request.headers)
        headers.reset(curl_slist_append(headers.release(), header.constData()));

    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, request.url.constData());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
    // Out of time while the host name is still being looked up, curl would otherwise wait for
    // the look-up to end, the resolver's time-outs and all, past the deadline.
    curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
#endif
    if (left > 0)
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(qMax<qint64>(left, 1)));
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &reply);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.plainOnly ? 0L : 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, request.maxRedirects);
    if (request.acceptCompressed)
        curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(h, CURLOPT_IPRESOLVE,
                     request.family == AddressFamily::IPv4   ? long(CURL_IPRESOLVE_V4)
                     : request.family == AddressFamily::IPv6 ? long(CURL_IPRESOLVE_V6)
                                                             : long(CURL_IPRESOLVE_WHATEVER));
    std::optional<SystemCertificates> authorities;
    secure(h, request, &authorities);
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.constData());
    const QByteArray from = "host!" + request.bindAddress.toLatin1();
    if (!request.bindAddress.isEmpty())
        curl_easy_setopt(h, CURLOPT_INTERFACE, from.constData());
    if (headers)
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    if (!request.postBody.isEmpty()) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.postBody.constData());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, long(request.postBody.size()));
    }

    const CURLcode code = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(h, CURLINFO_REDIRECT_COUNT, &reply.redirects);
    const char* effective = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        reply.finalUrl = effective;
    const char* reached = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_PRIMARY_IP, &reached) == CURLE_OK && reached && *reached)
        reply.server = QString::fromLatin1(reached);
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && reply.tooLong))
        return reply;
    if (code == CURLE_OPERATION_TIMEDOUT)
        reply.timedOut = true;
    reply.tooManyRedirects = code == CURLE_TOO_MANY_REDIRECTS;
    reply.tlsFailed = tlsFailure(code);
    reply.error = message[0] ? QString::fromLocal8Bit(message).trimmed()
                             : QString::fromLatin1(curl_easy_strerror(code));
    return reply;
}

HttpReply FetchWhileLive(const HttpRequest& request, const std::function<bool()>& givenUp) {
    FetchAside fetch(request);
    ProcessEventsUntil(&fetch, &FetchAside::finished,
                       [&] { return fetch.IsFinished() || (givenUp && givenUp()); });
    if (fetch.IsFinished())
        return fetch.Reply();
    HttpReply stopped;
    stopped.error = QStringLiteral("stopped");
    return stopped;
}

} // namespace platform

#include "HttpFetch.moc"
