#pragma once

#include "AddressSource.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>

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
};

struct HttpReply {
    QByteArray body;
    long status = 0;
    bool tooLong = false;  // the reply went past the limit; body holds the limit's worth
    bool timedOut = false; // the deadline passed first
    QString error;         // the transfer failed (not an HTTP error status): why
    QString server;        // the address the request reached, where it reached one
};

HttpReply HttpFetch(const HttpRequest& request);

} // namespace platform
