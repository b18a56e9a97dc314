#pragma once

// One Request set out on curl's handle: the options every request shares, what the request
// carries, and the callbacks that fill its Reply and hold it to the limits on its time.

#include "InetExchange.h"

#include <QFile>
#include <QString>

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace platform::inet {

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

// False when curl had no memory for the line.
bool Append(Slist& list, const QString& line);

// Where one request stands against the limits on its time, and how much of its data the
// server has taken in.
struct Limits {
    const std::atomic<bool>* abandon = nullptr;
    // The request is cut when the upload is out of time, until it has sent all its data: the
    // commands that follow the data rename the page and run to their end.
    bool limited = false;
    std::chrono::steady_clock::time_point deadline{};
    bool allSent = false;
    bool outOfTime = false;
    // Told how much of the data has gone, and how much of it the server has taken in.
    std::function<void(curl_off_t toSend, curl_off_t confirmed)> report{};

    // FTP confirms the data only as a whole, once it has all arrived; until then what curl
    // has written may sit in the buffers of both systems, megabytes of them. What the server
    // has read is counted instead, as nearly as the connection tells it: what its system has
    // acknowledged, less what it still holds unread (by how far its receive window has shut).
    // That is the progress shown, the stall that cuts the upload (nothing read for
    // `stallLimit`, where curl's own limit would count a slow server's full buffers as a
    // stall), and the end of the data, held back until all before it is read, so that the
    // wait for the server's word on the whole (the response limit) starts only then.
    bool countsAcknowledged = false;
    std::chrono::milliseconds stallLimit{};
    QFile* upload = nullptr;
    curl_socket_t dataSocket = CURL_SOCKET_BAD; // the connection the data goes over
    curl_off_t toSend = 0;
    curl_off_t sent = 0;         // written to the connection
    curl_off_t confirmed = 0;    // read by the server, as nearly as the connection tells it
    curl_off_t widestWindow = 0; // the server's receive window at its widest: nothing unread
    curl_off_t lastWindow = -1;  // and as last seen, unchanged since windowSince
    std::chrono::steady_clock::time_point windowSince{};
    std::chrono::steady_clock::time_point lastTakenIn{};
    bool heldAtEnd = false; // the end of the data waits for the rest to be taken in
    bool flowing = false;   // data has been written: the stall clock runs
    bool stalled = false;

    // Counts what the server has acknowledged; false when it stalled or time is up, or the
    // request is abandoned.
    bool mayGoOn();
    // What was written and is not yet acknowledged; 0 where the system does not tell.
    curl_off_t unacknowledged() const;
    // What the server's system holds and the server has not read yet; 0 where not told.
    curl_off_t unread();
    // Whether the end of the data may go: all before it read, or nearly.
    bool mayEnd();
};

// The options of every request, before the protocol's own: the URL and the login, curl's words
// on a failure into errorBuffer (CURL_ERROR_SIZE bytes), and the callbacks that fill the reply
// and watch the limits. The reply, the limits and the buffer outlive the transfer.
void SetCommonOptions(CURL* easy, const Request& request, const QString& user,
                      const QString& password, Reply* reply, Limits* limits, char* errorBuffer);

// After the protocol's options: how long the server may stay silent, and what the request
// carries (the page, a listing, or nothing), then the commands that follow it, kept by the
// caller until the transfer ends.
void SetTransferOptions(CURL* easy, const Request& request, std::chrono::milliseconds timeout,
                        Reply* reply, Limits* limits, curl_slist* postQuote);

// The connection curl keeps for the next command, and whether it has carried a transfer of data
// since it was opened.
struct KeptConnection {
    curl_socket_t socket = CURL_SOCKET_BAD;
    bool carriedData = false;
};

// After a request: whether the connection curl keeps is the one before, and has carried data
// since it was opened; and the file's time, into the reply, where it was asked for.
void NoteConnection(CURL* easy, const Request& request, bool done, bool carriesData, Reply* reply,
                    KeptConnection* kept);

// Runs the request on the multi handle until curl ends it (true) or it fails to, is abandoned or
// is out of time (false, with the reply's code saying which).
bool Drive(CURL* easy, CURLM* multi, Reply* reply, Limits* limits, bool carriesData);

} // namespace platform::inet
