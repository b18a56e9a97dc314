#include "PageCheck.h"

#include <QCryptographicHash>
#include <QLocale>
#include <QUrl>

#include <algorithm>
#include <array>

namespace platform {

namespace {

using Kind = PageSight::Kind;

// Where hosting panels, single sign-on and blogs send a visitor who must log in first.
constexpr std::array<const char*, 8> LoginWords{"login",   "log-in", "signin", "sign-in",
                                                "sign_in", "logon",  "auth",   "sso"};

bool looksLikeLogin(const PageAnswer& answer) {
    const QString where =
        QUrl(answer.finalUrl).path() + QLatin1Char('?') + QUrl(answer.finalUrl).query();
    const bool loginAddress =
        answer.redirects > 0 && std::any_of(LoginWords.begin(), LoginWords.end(), [&](auto w) {
            return where.contains(QLatin1String(w), Qt::CaseInsensitive);
        });
    // A form that asks for a password is a login page wherever it stands.
    const QByteArray body = answer.body.toLower();
    return loginAddress || body.contains("type=\"password\"") || body.contains("type='password'") ||
           body.contains("type=password");
}

// Digits go on any address; hexadecimal letters and colons only on an IPv6 one, so that
// "IP:203.0.113.7" shows its address.
bool partOfAddress(char c, bool ipv6) {
    if (c >= '0' && c <= '9')
        return true;
    return ipv6 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':');
}

QString when(const QDateTime& time, const QDateTime& now) {
    const QDateTime local = time.toLocalTime();
    // Said in English like the rest of the line, whatever the locale.
    return QLocale::c().toString(local, local.date().year() == now.toLocalTime().date().year()
                                            ? QStringLiteral("d MMM HH:mm")
                                            : QStringLiteral("d MMM yyyy HH:mm"));
}

} // namespace

bool PageSight::WorthAnotherLook() const {
    if (kind == Kind::OlderPage)
        return true;
    return cached && (kind == Kind::OtherPage || kind == Kind::NotFound);
}

bool PageSight::NotOurs() const {
    return kind == Kind::OlderPage || kind == Kind::OtherPage || kind == Kind::NotFound;
}

QString PageSight::Said(const QString& url, const QDateTime& now) const {
    const QString at = PageUrlForPeople(url);
    const QString folderHint = QStringLiteral("the upload folder or file name may not be the ones "
                                              "the web server shows");
    switch (kind) {
    case Kind::Seen:
        return QStringLiteral("seen at %1").arg(at);
    case Kind::OlderPage:
        return QStringLiteral(
                   "%1 shows the page of %2: a cache in front of the site, or the upload "
                   "folder is not the one the web server shows")
            .arg(at, when(shown.time, now));
    case Kind::OtherPage:
        return QStringLiteral("%1 shows another page: %2, or something else writes that page")
            .arg(at, folderHint);
    case Kind::NotFound:
        return QStringLiteral("nothing at %1 (HTTP %2): %3").arg(at).arg(status).arg(folderHint);
    case Kind::LoginPage:
        if (status == 401 || status == 407)
            return QStringLiteral("%1 asks for a password (HTTP %2): visitors cannot see the page")
                .arg(at)
                .arg(status);
        if (finalUrl.isEmpty() || PageUrlForPeople(finalUrl) == at)
            return QStringLiteral("%1 shows a login form: visitors cannot see the page without "
                                  "logging in")
                .arg(at);
        return QStringLiteral("%1 leads to a login page (%2): visitors cannot see the page without "
                              "logging in")
            .arg(at, PageUrlForPeople(finalUrl));
    case Kind::HttpError:
        return QStringLiteral("%1 answers HTTP %2 instead of the page").arg(at).arg(status);
    case Kind::TooManyRedirects:
        return QStringLiteral(
                   "%1 redirects more than %2 times (a loop?), so browsers give up on it")
            .arg(at)
            .arg(PageRedirectLimit);
    case Kind::TooLong:
        return QStringLiteral("%1 sends more than %2 KB, far more than the page uploaded: another "
                              "page, or one that never ends")
            .arg(at)
            .arg(readBytes / 1024);
    case Kind::TlsFailure:
        return QStringLiteral("browsers refuse the secure connection to %1: %2").arg(at, detail);
    case Kind::TimedOut:
        if (status != 0)
            return QStringLiteral("%1 sends the page too slowly: it was not whole after %2 s")
                .arg(at)
                .arg(seconds);
        return QStringLiteral("no answer from %1 within %2 s").arg(at).arg(seconds);
    case Kind::Unreachable:
        return QStringLiteral("unable to reach %1: %2").arg(at, detail);
    }
    return {};
}

PageSight JudgePage(const PageAnswer& answer, const QByteArray& uploadedHash,
                    const QList<KnownPage>& known) {
    PageSight sight;
    sight.status = answer.status;
    sight.finalUrl = answer.finalUrl;
    sight.readBytes = answer.body.size();
    sight.seconds = answer.seconds;
    sight.detail = answer.error;
    sight.cached = answer.cached;
    const auto judged = [&](Kind kind) {
        sight.kind = kind;
        return sight;
    };
    if (answer.tlsFailed)
        return judged(Kind::TlsFailure);
    if (answer.tooManyRedirects)
        return judged(Kind::TooManyRedirects);
    if (answer.timedOut)
        return judged(Kind::TimedOut);
    if (!answer.error.isEmpty() && !answer.tooLong)
        return judged(Kind::Unreachable);
    if (answer.status == 404 || answer.status == 410)
        return judged(Kind::NotFound);
    if (answer.status == 401 || answer.status == 407)
        return judged(Kind::LoginPage);
    if (answer.status < 200 || answer.status > 299)
        return judged(Kind::HttpError);
    if (answer.tooLong)
        return judged(Kind::TooLong);

    const QByteArray hash =
        QCryptographicHash::hash(answer.body, QCryptographicHash::Sha256).toHex();
    if (!uploadedHash.isEmpty() && hash == uploadedHash.toLower()) {
        for (const KnownPage& page : known) {
            if (page.hash == hash) {
                sight.shown = page;
                break;
            }
        }
        return judged(Kind::Seen);
    }
    for (const KnownPage& page : known) {
        if (page.hash == hash) {
            sight.shown = page;
            return judged(Kind::OlderPage);
        }
    }
    return judged(looksLikeLogin(answer) ? Kind::LoginPage : Kind::OtherPage);
}

qsizetype PageReadLimit(qint64 pageSize) {
    return qsizetype(std::max<qint64>(qint64(1) << 20, pageSize + pageSize / 4 + 64 * 1024));
}

bool ShowsAddress(QByteArrayView text, const QString& address) {
    const QByteArray wanted = address.toLatin1();
    if (wanted.isEmpty())
        return false;
    const bool ipv6 = wanted.contains(':');
    for (qsizetype at = text.indexOf(wanted); at >= 0; at = text.indexOf(wanted, at + 1)) {
        const qsizetype end = at + wanted.size();
        const bool cutBefore = at > 0 && (partOfAddress(text[at - 1], ipv6) || text[at - 1] == '.');
        // A full stop ends a sentence; followed by a digit it goes on the address.
        const bool cutAfter = end < text.size() && (partOfAddress(text[end], ipv6) ||
                                                    (text[end] == '.' && end + 1 < text.size() &&
                                                     text[end + 1] >= '0' && text[end + 1] <= '9'));
        if (!cutBefore && !cutAfter)
            return true;
    }
    return false;
}

QString PageUrlForPeople(const QString& url) {
    const QUrl parsed(url.trimmed());
    if (!parsed.isValid() || parsed.userInfo().isEmpty())
        return url.trimmed();
    return parsed.toDisplayString(QUrl::RemoveUserInfo);
}

bool IsPageUrl(const QString& url) {
    const QUrl parsed(url.trimmed(), QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() && !parsed.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

} // namespace platform
