#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

namespace platform {

// How many redirects the page's address may take, as a browser follows them, before it counts
// as a loop.
inline constexpr int PageRedirectLimit = 5;

// What a visitor's browser got from the page's address, as the web client tells it.
struct PageAnswer {
    long status = 0;  // the HTTP status of the last answer; 0 when none came
    QByteArray body;  // that answer's body, as far as it was read
    QString finalUrl; // where the redirects led
    int redirects = 0;
    bool cached = false;   // the answer came from a cache in front of the site (it has an Age)
    bool tooLong = false;  // the body went on past the limit; body holds the limit's worth
    bool timedOut = false; // the time ran out before the answer was whole
    int seconds = 0;       // the time it had
    bool tooManyRedirects = false;
    bool tlsFailed = false; // the secure connection was refused: certificate, name or handshake
    QString error;          // the transfer failed: why, in the web client's words
};

// A page this machine published, known by its bytes.
struct KnownPage {
    QByteArray hash; // hex SHA-256 of the bytes uploaded
    QDateTime time;
    QString address; // what it shows, both families where it has both
};

// What visitors see at the page's address, compared with what was uploaded.
struct PageSight {
    enum class Kind {
        Seen,             // the very bytes uploaded
        OlderPage,        // a page published from here before
        OtherPage,        // a page not published from here
        NotFound,         // 404 or 410
        LoginPage,        // a login page, or a request for a password
        HttpError,        // any other status
        TooManyRedirects, // a loop, or a long chain of redirects
        TooLong,          // more than any page published from here
        TlsFailure,       // a secure connection that a browser refuses
        TimedOut,         // no whole answer in time
        Unreachable,      // no answer at all
    };

    Kind kind = Kind::Unreachable;
    KnownPage shown; // Seen, OlderPage: the page recognised
    long status = 0;
    QString finalUrl;
    qsizetype readBytes = 0;
    int seconds = 0;
    QString detail; // the web client's words for a failed transfer
    bool cached = false;

    bool Seen() const { return kind == Kind::Seen; }
    // A second look may see otherwise: a cache can hold an older copy of the page, and an answer
    // a cache gave may be one it has not yet let go of.
    bool WorthAnotherLook() const;
    // The site shows a page, or says there is none, but not the one published last: uploading
    // it again can mend that (overwritten by something else, restored from a backup).
    bool NotOurs() const;
    // What is there and what that usually means, in one line; "seen at URL" when seen. The
    // date of an older page is said with its year only when that is not now's.
    QString Said(const QString& url, const QDateTime& now = QDateTime::currentDateTime()) const;
};

// Compares what visitors got with the page uploaded (its hex SHA-256), byte for byte: nothing
// is ignored, not even what a host adds to every page. A page published before is recognised
// among the known ones, the first that matches (newest first, where it was published twice).
PageSight JudgePage(const PageAnswer& answer, const QByteArray& uploadedHash,
                    const QList<KnownPage>& known);

// How much of the answer is read at most, for a page of this many bytes: enough for an older
// page that was longer, and never unbounded.
qsizetype PageReadLimit(qint64 pageSize);

// Whether the text shows the address whole, not as a part of a longer address or number.
bool ShowsAddress(QByteArrayView text, const QString& address);

// The address as messages show it, without a user name or password typed into it.
QString PageUrlForPeople(const QString& url);

// Whether the text is an address a browser opens: http:// or https://, with a host.
bool IsPageUrl(const QString& url);

} // namespace platform
