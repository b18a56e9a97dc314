#include "modPageCheck.h"

#include "AppInfo.h"
#include "HttpFetch.h"
#include "MsgBox.h"
#include "Process.h"
#include "PublishHistory.h"
#include "PublishState.h"
#include "frmOptions.h"
#include "modAddress.h"
#include "modSettings.h"
#include "modStatus.h"
#include "modTallyhost.h"

#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>

namespace {

using namespace std::chrono_literals;
using platform::PageSight;

std::chrono::milliseconds g_lookPatience = 10s;
std::chrono::milliseconds g_cachePatience = 20s;

// Every page published from here that is still known by its bytes, newest first: the last
// publication, then the history's.
QList<platform::KnownPage> knownPages() {
    QList<platform::KnownPage> known;
    if (const std::optional<platform::Publication> last = platform::LoadPublication();
        last && !last->pageHash.isEmpty())
        known.append({last->pageHash, last->time, last->address});
    const QList<platform::HistoryEntry> history = platform::ReadHistory();
    for (auto it = history.rbegin(); it != history.rend(); ++it)
        if (!it->pageHash.isEmpty())
            known.append({it->pageHash, it->time, it->address});
    return known;
}

// One look, as a visitor's browser takes it. Given up when the upload is cancelled.
platform::PageAnswer fetchPage(const QString& url, qint64 pageSize) {
    platform::HttpRequest request;
    request.url = QUrl(url.trimmed()).toEncoded();
    request.limit = platform::PageReadLimit(pageSize);
    request.deadline = QDeadlineTimer(g_lookPatience);
    // Caches in front of the site are to ask the site, not answer from what they hold.
    request.headers = {"Cache-Control: no-cache", "Pragma: no-cache"};
    request.maxRedirects = platform::PageRedirectLimit;
    request.acceptCompressed = true;
    const platform::HttpReply reply =
        platform::FetchWhileLive(request, [] { return UploadCancelled(); });
    platform::PageAnswer answer;
    answer.status = reply.status;
    answer.body = reply.body;
    answer.finalUrl = QString::fromUtf8(reply.finalUrl);
    answer.redirects = int(reply.redirects);
    answer.cached = reply.cached;
    answer.tooLong = reply.tooLong;
    answer.timedOut = reply.timedOut;
    answer.seconds = int((g_lookPatience.count() + 999) / 1000);
    answer.tooManyRedirects = reply.tooManyRedirects;
    answer.tlsFailed = reply.tlsFailed;
    answer.error = reply.error;
    return answer;
}

// Waits with the window live; false when the upload was cancelled meanwhile.
bool pause(std::chrono::milliseconds time) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(time);
    platform::ProcessEventsUntil(&timer, &QTimer::timeout,
                                 [&] { return !timer.isActive() || UploadCancelled(); });
    return !UploadCancelled();
}

QString when(const QDateTime& time) {
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void write(std::FILE* stream, const QString& text) {
    const QByteArray bytes = (text + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// The address the source gives now, or why there is none, without a box.
bool currentAddress(QString& address, QString& why) {
    platform::MessageHandler before =
        platform::SetMessageHandler([&why](const platform::Message& m) { why = m.text; });
    const bool found = FindPublishedAddress(address);
    platform::SetMessageHandler(std::move(before));
    return found;
}

// What the page shows beside the address the source gives now: 0 when it is that address.
int compareWithNow(const QString& url, const PageSight& sight, const QByteArray& body) {
    const QString at = platform::PageUrlForPeople(url);
    const bool ours = sight.Seen() || sight.kind == PageSight::Kind::OlderPage;
    const bool aPage = sight.kind == PageSight::Kind::OtherPage;
    if (!ours && !aPage) {
        write(stdout, sight.Said(url));
        return 1;
    }
    QString now;
    QString why;
    if (!currentAddress(now, why)) {
        write(stdout, (ours ? QStringLiteral("%1 shows %2, published %3; ")
                                  .arg(at, sight.shown.address, when(sight.shown.time))
                            : sight.Said(url) + QStringLiteral("; ")) +
                          QStringLiteral("the current address cannot be told: ") + why);
        return 1;
    }
    if (!ours) {
        if (!platform::ShowsAddress(body, now)) {
            write(stdout, sight.Said(url));
            return 1;
        }
        write(stdout, QStringLiteral("%1 shows %2, the current address, on a page not published "
                                     "from here.")
                          .arg(at, now));
        return 0;
    }
    const QString shows = QStringLiteral("%1 shows %2, published %3")
                              .arg(at, sight.shown.address, when(sight.shown.time));
    if (sight.shown.address == now) {
        write(stdout, shows + QStringLiteral(": the current address."));
        return 0;
    }
    write(stdout, shows + QStringLiteral(", but the current address is %1.").arg(now));
    return 1;
}

// Check now: one look, said beside the field, the dialog live meanwhile.
void checkPageNow(frmOptions& dialog) {
    const QString url = dialog.txtPageURL->text().trimmed();
    if (!platform::IsPageUrl(url)) {
        dialog.lblPageCheck->setText(
            QStringLiteral("Type the address where visitors open the page, starting with "
                           "https:// or http://."));
        return;
    }
    dialog.cmdCheckPage->setEnabled(false);
    dialog.lblPageCheck->setText(
        QStringLiteral("Looking at %1 as visitors do...").arg(platform::PageUrlForPeople(url)));
    const std::optional<platform::Publication> last = platform::LoadPublication();
    const QByteArray hash = last ? last->pageHash : QByteArray();
    const platform::PageSight sight =
        platform::JudgePage(fetchPage(url, last ? last->pageSize : 0), hash, knownPages());
    QString said;
    if (sight.Seen())
        said = QStringLiteral("Seen: visitors see the page published %1 (%2).")
                   .arg(QLocale().toString(sight.shown.time.toLocalTime(), QLocale::ShortFormat),
                        sight.shown.address);
    else if (hash.isEmpty() && sight.kind == PageSight::Kind::OtherPage)
        said = QStringLiteral("%1 shows a page; nothing looked at after an upload from here is "
                              "known yet to compare it with.")
                   .arg(platform::PageUrlForPeople(url));
    else
        said = QStringLiteral("Not seen: ") + sight.Said(url) + QLatin1Char('.');
    dialog.lblPageCheck->setText(said);
    dialog.cmdCheckPage->setEnabled(true);
}

} // namespace

QString PageURL() {
    platform::SettingsStore store = OpenSettings();
    return store.GetSetting(platform::SettingKey::PageURL).trimmed();
}

std::optional<PageSight> LookAtPage(frmTallyhost* form, const QString& url,
                                    const UploadedPage& uploaded, bool again) {
    const QList<platform::KnownPage> known = knownPages();
    const QString at = platform::PageUrlForPeople(url);
    const QDeadlineTimer caches(g_cachePatience);
    // Caches let go of a copy at their own pace: looked at less and less often.
    std::chrono::milliseconds wait = 1s;
    for (;;) {
        if (form)
            ShowStatus(*form, QStringLiteral("Looking at "), at, QStringLiteral(" as visitors do"));
        const PageSight sight =
            platform::JudgePage(fetchPage(url, uploaded.size), uploaded.hash, known);
        if (UploadCancelled())
            return std::nullopt;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(caches.remainingTimeAsDuration());
        if (!again || !sight.WorthAnotherLook() || left <= 0ms)
            return sight;
        if (form)
            ShowStatus(*form, QStringLiteral("Looking again at "), at,
                       QStringLiteral(": a cache may still hold an older copy"));
        if (!pause(std::min(wait, left)))
            return std::nullopt;
        wait *= 2;
    }
}

void SetPageLookPatience(std::chrono::milliseconds look, std::chrono::milliseconds caches) {
    g_lookPatience = look;
    g_cachePatience = caches;
}

int CheckPageFromCommandLine() {
    const QString prefix = platform::App::title() + QStringLiteral(": ");
    const QString url = PageURL();
    if (url.isEmpty()) {
        write(stderr,
              prefix + QStringLiteral("No page to check: PageURL under [HTML] is empty in %1.")
                           .arg(OpenSettings().FileName()));
        return 1;
    }
    if (!platform::IsPageUrl(url)) {
        write(stderr, prefix + QStringLiteral("PageURL under [HTML] must start with https:// or "
                                              "http:// (not \"%1\").")
                                   .arg(url));
        return 1;
    }
    const std::optional<platform::Publication> last = platform::LoadPublication();
    const platform::PageAnswer answer = fetchPage(url, last ? last->pageSize : 0);
    const PageSight sight =
        platform::JudgePage(answer, last ? last->pageHash : QByteArray(), knownPages());
    return compareWithNow(url, sight, answer.body);
}

void LoadPageOptions(frmOptions& dialog) {
    QObject::connect(&dialog, &frmOptions::pageCheckRequested, &dialog,
                     [&dialog] { checkPageNow(dialog); });
    dialog.txtPageURL->setText(PageURL());
    dialog.txtPageURL->setCursorPosition(0);
}

bool SavePageOptions(frmOptions& dialog) {
    const QString url = dialog.txtPageURL->text().trimmed();
    if (!url.isEmpty() && !platform::IsPageUrl(url)) {
        platform::MsgBox(QStringLiteral("The address where visitors open the page must start with "
                                        "https:// or http://, such as "
                                        "https://example.org/ip.htm."),
                         platform::MsgIcon::Exclamation);
        dialog.txtPageURL->setFocus();
        return false;
    }
    platform::SettingsStore store = OpenSettings();
    // Left unwritten while empty and never set, as the settings file had it.
    const platform::Setting& key = platform::SettingOf(platform::SettingKey::PageURL);
    if (url.isEmpty() && store.GetSetting(key.Section(), key.Key()).isEmpty())
        return true;
    store.SaveSetting(platform::SettingKey::PageURL, url);
    return SyncSettings(store);
}
