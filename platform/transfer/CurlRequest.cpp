#include "CurlRequest.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>

namespace platform::inet {

namespace {

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

int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t toSend, curl_off_t sent) {
    auto* limits = static_cast<Limits*>(userdata);
    if (toSend > 0 && sent >= toSend)
        limits->allSent = true;
    if (limits->report)
        limits->report(toSend, sent);
    return limits->mayGoOn() ? 0 : 1;
}

size_t onBody(char* data, size_t size, size_t count, void* userdata) {
    auto* reply = static_cast<Reply*>(userdata);
    if (reply->body.size() + qsizetype(size * count) > MaxListing) {
        reply->tooLong = true;
        return 0;
    }
    reply->body.append(data, qsizetype(size * count));
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

bool Append(Slist& list, const QString& line) {
    curl_slist* head = curl_slist_append(list.get(), line.toUtf8().constData());
    if (!head)
        return false;
    if (!list)
        list.reset(head);
    return true;
}

void SetCommonOptions(CURL* easy, const Request& request, const QString& user,
                      const QString& password, Reply* reply, Limits* limits, char* errorBuffer) {
    // curl keeps copies of the texts.
    const QByteArray name = user.toUtf8();
    const QByteArray secret = password.toUtf8();
    curl_easy_setopt(easy, CURLOPT_URL, request.url.constData());
    // Never in the URL: curl would quote the URL in its messages.
    curl_easy_setopt(easy, CURLOPT_USERNAME, name.constData());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, secret.constData());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    // Some replies curl waits for on its own, outside the loop that drives it (the one that
    // ends an upload); it asks the progress callback once a second meanwhile, so an abandoned
    // transfer stops there too instead of sitting out the time-out.
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, limits);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, reply);
    // Tells which command each reply answers; curl passes the commands it sends to the
    // debug callback alone, which it calls only when verbose.
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, onDebug);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, reply);
    curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
    // ".." is the server's to resolve: above the login directory, or through a link, it
    // leads where no rewriting of the text can tell.
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
}

void SetTransferOptions(CURL* easy, const Request& request, std::chrono::milliseconds timeout,
                        Reply* reply, curl_slist* postQuote) {
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(timeout.count()));
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(timeout));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, wholeSeconds(timeout));

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
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, reply);
    } else {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        // Over SFTP: one request, which follows links and fails for a missing name.
        curl_easy_setopt(easy, CURLOPT_FILETIME, long(request.fileTime));
    }
    if (postQuote)
        curl_easy_setopt(easy, CURLOPT_POSTQUOTE, postQuote);
}

} // namespace platform::inet
