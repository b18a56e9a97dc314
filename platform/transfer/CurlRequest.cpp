#include "CurlRequest.h"

#include <QByteArray>
#include <QFile>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <linux/tcp.h>
#include <netinet/in.h>

#include <cstddef>
#endif

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
        if (reply->heard)
            reply->heard();
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
        reply->passwordSent =
            reply->sshPasswordAllowed && (reply->sshMethods.contains(u"password") ||
                                          reply->sshMethods.contains(u"keyboard-interactive"));
    }
    static const QByteArray keyFailed = "SSH public key authentication failed: ";
    if (type == CURLINFO_TEXT && line.startsWith(keyFailed))
        reply->keyFailure = QString::fromUtf8(line.mid(keyFailed.size()));
    return 0;
}

int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t toSend, curl_off_t sent) {
    auto* limits = static_cast<Limits*>(userdata);
    if (toSend > 0 && sent >= toSend)
        limits->allSent = true;
    limits->toSend = toSend;
    limits->sent = sent;
    const bool goOn = limits->mayGoOn();
    if (limits->report)
        limits->report(toSend, limits->confirmed);
    return goOn ? 0 : 1;
}

// The connection curl opens last in a request is the one its data goes over.
int onSocket(void* userdata, curl_socket_t socket, curlsocktype) {
    auto* limits = static_cast<Limits*>(userdata);
    limits->dataSocket = socket;
    limits->lastTakenIn = std::chrono::steady_clock::now();
    return CURL_SOCKOPT_OK;
}

int onClose(void* userdata, curl_socket_t socket) {
    auto* limits = static_cast<Limits*>(userdata);
    if (socket == limits->dataSocket)
        limits->dataSocket = CURL_SOCKET_BAD;
#if defined(Q_OS_WIN)
    return closesocket(socket);
#else
    return ::close(socket);
#endif
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
    auto* limits = static_cast<Limits*>(userdata);
    QFile* page = limits->upload;
    qint64 wanted = qint64(size * count);
    // The last byte waits until everything before it is read (the drive loop goes on): curl
    // ends the data once it has had as many bytes as the page holds.
    if (const qint64 left = page->size() - page->pos();
        limits->countsAcknowledged && left > 0 && wanted >= left && !limits->mayEnd()) {
        if (left == 1) {
            limits->heldAtEnd = true;
            return CURL_READFUNC_PAUSE;
        }
        wanted = left - 1;
    }
    const qint64 got = page->read(buffer, wanted);
    return got < 0 ? CURL_READFUNC_ABORT : size_t(got);
}

long wholeSeconds(std::chrono::milliseconds ms) {
    return long(std::max<std::chrono::milliseconds::rep>(1, (ms.count() + 999) / 1000));
}

} // namespace

curl_off_t Limits::unacknowledged() const {
#if defined(Q_OS_WIN)
    return 0;
#else
    int queued = 0;
    if (dataSocket == CURL_SOCKET_BAD || ::ioctl(dataSocket, TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
#endif
}

curl_off_t Limits::unread() {
#if defined(__linux__)
    tcp_info info{};
    socklen_t size = sizeof info;
    if (dataSocket == CURL_SOCKET_BAD ||
        ::getsockopt(dataSocket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd)
        return 0;
    widestWindow = std::max<curl_off_t>(widestWindow, info.tcpi_snd_wnd);
    if (info.tcpi_snd_wnd != lastWindow) {
        lastWindow = info.tcpi_snd_wnd;
        windowSince = std::chrono::steady_clock::now();
    }
    return widestWindow - info.tcpi_snd_wnd;
#else
    return 0;
#endif
}

bool Limits::mayEnd() {
    // What the server reads in a moment; a window never opens to the last byte.
    constexpr curl_off_t Slack = 128 * 1024;
    // The window a server's system offers once all is read is not always its widest: the
    // memory its buffers take counts against it too. A window that has stopped moving with
    // everything acknowledged is taken as read; the response limit covers the rest.
    constexpr auto Settled = std::chrono::seconds(1);
    return unacknowledged() == 0 &&
           (unread() <= Slack || std::chrono::steady_clock::now() - windowSince >= Settled);
}

bool Limits::mayGoOn() {
    const auto now = std::chrono::steady_clock::now();
    if (limited && !allSent && now >= deadline)
        outOfTime = true;
    const curl_off_t taken =
        countsAcknowledged ? std::max<curl_off_t>(0, sent - unacknowledged() - unread()) : sent;
    if (taken > confirmed || (sent > 0 && !flowing)) {
        confirmed = taken;
        lastTakenIn = now;
        flowing = true;
    }
    if (countsAcknowledged && stallLimit.count() > 0 && dataSocket != CURL_SOCKET_BAD &&
        (toSend <= 0 || confirmed < toSend) && now - lastTakenIn >= stallLimit)
        stalled = true;
    return !abandon->load() && !outOfTime && !stalled;
}

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
#if LIBCURL_VERSION_NUM >= 0x075700
    // Otherwise a connection given up while its host name is being looked up waits for the
    // look-up to end, the resolver's time-outs and all: Cancel would hang.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
#endif
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    // Some replies curl waits for on its own, outside the loop that drives it (the one that
    // ends an upload); it asks the progress callback once a second meanwhile, so an abandoned
    // transfer stops there too instead of sitting out the time-out.
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, limits);
    // Replaced by a protocol that connects its own way (SSH).
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, onSocket);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, limits);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, onClose);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, limits);
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
                        Reply* reply, Limits* limits, curl_slist* postQuote) {
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(timeout.count()));
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(timeout));
    limits->countsAcknowledged = limits->countsAcknowledged && request.upload;
    limits->stallLimit = timeout;
    if (!limits->countsAcknowledged) {
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, wholeSeconds(timeout));
    }

    if (request.upload) {
        limits->upload = request.upload;
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, onRead);
        curl_easy_setopt(easy, CURLOPT_READDATA, limits);
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

void NoteConnection(CURL* easy, const Request& request, bool done, bool carriesData, Reply* reply,
                    KeptConnection* kept) {
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (done && curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK)
        socket = CURL_SOCKET_BAD;
    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    if (connects > 0 || socket != kept->socket)
        kept->carriedData = false;
    // A refused upload command never opened the data connection.
    kept->carriedData =
        kept->carriedData ||
        (carriesData && (reply->code == CURLE_OK ||
                         std::any_of(reply->serverLines.begin(), reply->serverLines.end(),
                                     [](const QString& line) { return line.startsWith(u'1'); })));
    kept->socket = socket;
    if (done && request.fileTime) {
        curl_off_t time = -1;
        if (curl_easy_getinfo(easy, CURLINFO_FILETIME_T, &time) == CURLE_OK)
            reply->fileTime = qint64(time);
    }
}

bool Drive(CURL* easy, CURLM* multi, Reply* reply, Limits* limits, bool carriesData) {
    for (;;) {
        int running = 0;
        const qsizetype linesBefore = reply->allLines.size();
        if (const CURLMcode mc = curl_multi_perform(multi, &running); mc != CURLM_OK) {
            reply->code = CURLE_FAILED_INIT;
            reply->curlError = QString::fromUtf8(curl_multi_strerror(mc));
            return false;
        }
        bool done = false;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
                reply->code = msg->data.result;
                done = true;
            }
        }
        if (done)
            return true;
        if (!limits->mayGoOn()) {
            reply->code = CURLE_ABORTED_BY_CALLBACK;
            return false;
        }
        if (limits->report)
            limits->report(limits->toSend, limits->confirmed);
        // The end of the data goes once all before it has been taken in.
        if (limits->heldAtEnd && limits->mayEnd()) {
            limits->heldAtEnd = false;
            curl_easy_pause(easy, CURLPAUSE_CONT);
            continue;
        }
        // A reply that came in may have moved curl on to a step it has not started yet
        // (after EPSV, the data connection), with nothing to wait for meanwhile: this
        // curl would then sit out the whole wait before connecting.
        if (reply->allLines.size() != linesBefore)
            continue;
        // Nor does this curl always wait on the connection it is setting up for the data
        // (the TLS handshake of an FTPS data connection, which some servers answer only
        // once the upload command has arrived): look again soon while data is to flow.
        curl_multi_poll(multi, nullptr, 0, carriesData ? 20 : 1000, nullptr);
    }
}

} // namespace platform::inet
