#pragma once

// The server a transfer goes to, read from the FTP Site field: its scheme chooses the protocol.

#include "InetCommand.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace platform::inet {

enum class Protocol {
    Ftp,   // no scheme or ftp://: plain FTP, port 21
    Ftpes, // ftpes://: FTP with explicit TLS (AUTH TLS) for commands and data, port 21
    Ftps,  // ftps://: FTP with implicit TLS, port 990
    Sftp   // sftp://: SSH file transfer, port 22
};

struct Site {
    Protocol protocol = Protocol::Ftp;
    QString host; // as curl and the certificate know it: no brackets, international names in ACE
    int port = 0;
    QByteArray base;     // the URL curl gets: "ftp://host:port", "ftps://...", "sftp://..."
    QString hostAndPort; // for messages: "host:port", "[::1]:port"
    RemotePath start;    // a directory given after the host, relative to the login directory
};

// Reads "host", "host:port" or "scheme://host[:port][/dir]"; the scheme in any case, IPv6
// addresses in brackets. Anything else is refused with a reason that says what is accepted. A
// site that holds a login ("user:password@host") is refused with a reason that does not
// repeat it.
std::optional<Site> parseSite(const QString& text, QString* error);

} // namespace platform::inet
