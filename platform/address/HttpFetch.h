#pragma once

#include "AddressSource.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>

#include <functional>

namespace platform {

// One HTTP(S) request whose reply may be no longer than a limit: what a device or service on
// the network sends can never make the program hold more than that.
struct HttpRequest {
    QByteArray url;
    qsizetype limit = 4 * 1024;
    QDeadlineTimer deadline;
    // Non-empty: a POST with this body.
    QByteArray postBody;
    QList<QByteArray> headers;
    AddressFamily family = AddressFamily::Any;
    // Plain HTTP only (a router); otherwise HTTP and HTTPS, and no way from HTTPS back to HTTP.
    bool plainOnly = false;
    // Sent from this address of this machine; empty: whichever the system picks.
    QString bindAddress;
    // Redirects followed at most, and never from HTTPS to HTTP.
    long maxRedirects = 3;
    // Compressed answers are asked for and unpacked, as a browser does.
    bool acceptCompressed = false;
};

struct HttpReply {
    QByteArray body;
    long status = 0;
    bool tooLong = false;  // the reply went past the limit; body holds the limit's worth
    bool timedOut = false; // the deadline passed first
    QString error;         // the transfer failed (not an HTTP error status): why
    QByteArray finalUrl;   // where the redirects led
    long redirects = 0;
    bool tooManyRedirects = false;
    bool tlsFailed = false; // the secure connection failed: certificate, name or handshake
    bool cached = false;    // the last answer carries an Age: a cache in front gave it
    QString server;        // the address the request reached, where it reached one
};

// Certificates are checked against the authorities the system trusts, found where the
// transfers find them (OpenSSL's SSL_CERT_FILE and SSL_CERT_DIR count); no cookie is kept.
HttpReply HttpFetch(const HttpRequest& request);

// The same on a thread of its own, window events processed meanwhile, so that a window stays
// live. The wait ends early once givenUp answers true (asked after every event): the reply
// then has no status and says it was stopped.
HttpReply FetchWhileLive(const HttpRequest& request, const std::function<bool()>& givenUp = {});

} // namespace platform
