#pragma once

// One exchange with the server through curl, in the terms the transfer's parts share: what is
// asked, what came back, and how a failure reads to a person.

#include "InetCommand.h"
#include "InetFault.h"
#include "TrustProblem.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

namespace platform::inet {

// Log in (or reuse the connection), reach the URL, upload, list or do nothing, then run the
// quoted commands.
struct Request {
    enum class Listing { None, Names, Long };
    QByteArray url;
    QFile* upload = nullptr;
    QStringList postQuote;
    Listing listing = Listing::None; // a directory URL's listing, kept in Reply::body
    // Puts the page back, or the new one in its place, after the old one stepped aside, or
    // deletes what the upload left: goes ahead even when the upload has had all the time it
    // may take, with the time of one request.
    bool finishing = false;
    // Once begun, runs to its end however long the upload has taken (commands that rename).
    bool whole = false;
    bool fileTime = false; // nothing transferred: only the URL's time, in Reply
};

struct Reply {
    CURLcode code = CURLE_OK;
    QString curlError;
    QStringList serverLines;  // FTP: the last line of every reply from the server, in order
    QStringList allLines;     // FTP: every line the server sent, those inside longer replies too
    QStringList allAnswering; // FTP: for each of allLines, the command it answers ("" at first)
    QStringList answering;    // FTP: for each of serverLines, the command it answers ("" at first)
    QString sent;             // FTP: the command sent last, without its argument
    QByteArray body;          // a listing
    bool tooLong = false;     // the listing went past MaxListing and was cut off
    bool outOfTime = false;   // stopped because the whole upload had taken too long
    // The password went to the server (FTP: PASS was sent; SSH: the server offered a login by
    // password, which curl then tried).
    bool passwordSent = false;
    QString sshMethods; // SSH: the ways to log in the server offered, as it listed them
    // SSH: whether this exchange may answer the server with the password, when it offers a
    // login by password; a try with a key or the agent does not.
    bool sshPasswordAllowed = true;
    QString keyFailure;    // SSH: libssh2's words when the key file did not log in
    qint64 fileTime = -1;  // the URL's modification time, where asked for and known
    bool loggedIn = false; // SFTP: the server took the login during this exchange
    // Told of every line of a reply as it comes, while the exchange runs (curl waits for some
    // replies on its own, outside the loop that drives it).
    std::function<void()> heard{};

    QString lastReply() const { return serverLines.isEmpty() ? QString() : serverLines.last(); }
    // The last line of the server's reply to the last `command` sent; empty when none came.
    QString replyTo(QStringView command) const {
        for (qsizetype i = answering.size() - 1; i >= 0; --i) {
            if (answering[i] == command)
                return serverLines[i];
        }
        return {};
    }
    // Every line of the server's replies to `command`, the greeting and other replies left out.
    QStringList linesAnswering(QStringView command) const {
        QStringList lines;
        for (qsizetype i = 0; i < allLines.size() && i < allAnswering.size(); ++i) {
            if (allAnswering[i] == command)
                lines << allLines[i];
        }
        return lines;
    }
    // The last line, when it says something went wrong (4xx, 5xx).
    QString lastRefusal() const {
        const QString last = lastReply();
        return last.startsWith(u'4') || last.startsWith(u'5') ? last : QString();
    }
    // The server was reached and logged into, and only refused what was asked.
    bool refusedOnly() const {
        return code == CURLE_REMOTE_ACCESS_DENIED || code == CURLE_REMOTE_FILE_NOT_FOUND ||
               code == CURLE_QUOTE_ERROR;
    }
};

using Exchange = std::function<Reply(const Request&)>;

// Far beyond the listing of any web space's folder (some 70 bytes a file).
inline constexpr qsizetype MaxListing = qsizetype(16) << 20;

// What stands under one name on the server, links followed, asked without listing its folder.
struct NameFacts {
    enum class Kind { Missing, File, Folder, Other };
    Kind kind = Kind::Missing;
    std::optional<int> mode; // the permission bits, where the server told them
};
// Asks about a name in a directory; nothing when it could not ask.
using Lookup = std::function<std::optional<NameFacts>(const RemotePath& dir, const QString& name)>;

// How one command ended: success, or a reason a person understands.
struct Outcome {
    Outcome() = default;
    Outcome(bool succeeded, QString reason, InetFault where = InetFault::Other)
        : ok(succeeded), error(std::move(reason)), fault(where) {}

    bool ok = false;
    QString error;
    InetFault fault = InetFault::Other;
    QString note; // what a success has to say all the same
    // SSH: the key file whose passphrase the user is to be asked for, before trying again.
    QString passphraseWanted;
};

QString withDetail(const QString& what, const QString& detail);

// A reason a person understands: what failed, with the server's reply or curl's words.
QString describe(const Reply& reply, const QString& hostAndPort, const QString& what,
                 std::chrono::milliseconds timeout);

// What the ending of a failed command's last exchange says about the settings. A directory
// that cannot be changed to, on a server that let the user in, is the directory's fault.
InetFault faultOf(CURLcode code, Command::Kind command);

// The reply of a request cut because the whole upload ran out of its time, or because the
// server took in nothing of the page for the time a request may wait.
void MarkOutOfTime(Reply* reply, std::chrono::milliseconds overall);
void MarkStalled(Reply* reply, std::chrono::milliseconds timeout);

// What the server presented, as it may be shown: a certificate's names and the type a key
// claims are the server's own words.
TrustProblem AsText(TrustProblem problem);

// Why the login was not sent to a server that could not be trusted; empty when it was.
QString untrusted(const TrustProblem& problem, const QString& hostAndPort);

} // namespace platform::inet
