#include "HttpFetch.h"

#include "AppInfo.h"

#include <curl/curl.h>

#include <memory>

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
    if (left > 0)
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(qMax<qint64>(left, 1)));
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.plainOnly ? 0L : 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 3L);
    curl_easy_setopt(h, CURLOPT_IPRESOLVE,
                     request.family == AddressFamily::IPv4   ? long(CURL_IPRESOLVE_V4)
                     : request.family == AddressFamily::IPv6 ? long(CURL_IPRESOLVE_V6)
                                                             : long(CURL_IPRESOLVE_WHATEVER));
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
    const char* reached = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_PRIMARY_IP, &reached) == CURLE_OK && reached && *reached)
        reply.server = QString::fromLatin1(reached);
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && reply.tooLong))
        return reply;
    if (code == CURLE_OPERATION_TIMEDOUT)
        reply.timedOut = true;
    reply.error = message[0] ? QString::fromLocal8Bit(message).trimmed()
                             : QString::fromLatin1(curl_easy_strerror(code));
    return reply;
}

} // namespace platform
