#include "modTallyhost.h"

#include "AddressSource.h"
#include "AppInfo.h"
#include "Application.h"
#include "FileLock.h"
#include "FileSystemObject.h"
#include "Inet.h"
#include "MessageLine.h"
#include "MsgBox.h"
#include "Process.h"
#include "ProgramConfig.h"
#include "PublishHistory.h"
#include "SettingsStore.h"
#include "clsTextInputFile.h"
#include "clsTextOutputFile.h"
#include "frmHistory.h"
#include "frmTallyhost.h"
#include "modAddress.h"
#include "modNotice.h"
#include "modSettings.h"
#include "modShell.h"
#include "modTrust.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

QString strCommandLine;

namespace {

// The one main window. Unloading it clears the pointer; the next reference makes a new one.
QPointer<frmTallyhost> g_form;

bool g_uploading = false;
// Someone asked to stop the running upload.
bool g_cancelled = false;
// The whole page is on the server and is being put in place: stopped now, the server may keep
// the old page or the new one.
bool g_replacing = false;
// What the history is to keep of the running upload.
platform::HistoryEntry* g_record = nullptr;
// File > Exit was chosen during an upload: the status to end with once it has stopped.
std::optional<int> g_exitAfterUpload;

// How long an upload waits for another copy of the program that is publishing the same page.
std::chrono::milliseconds g_pageLockPatience = std::chrono::seconds(150);

// At most this much of a template line is held at once (the reader's buffer may hold less); a
// longer line goes through in parts.
constexpr qsizetype LinePart = qsizetype(1) << 20;

// Only spaces count here: a tab or other white space is part of the text.
QString trimSpaces(const QString& s) {
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && s.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && s.at(end - 1) == QLatin1Char(' '))
        --end;
    return s.mid(begin, end - begin);
}

// Operation arguments go in double quotes so that names with spaces stay whole; a quote inside
// a name is doubled.
QString quoted(QString s) {
    s.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + s + QLatin1Char('"');
}

class Hourglass {
public:
    explicit Hourglass(frmTallyhost& form) : m_form(&form) { form.setCursor(Qt::WaitCursor); }
    ~Hourglass() {
        if (m_form)
            m_form->unsetCursor();
    }
    Hourglass(const Hourglass&) = delete;
    Hourglass& operator=(const Hourglass&) = delete;

private:
    QPointer<frmTallyhost> m_form;
};

// While an upload runs, it cannot be started again, and it can be cancelled.
class BusyWindow {
public:
    explicit BusyWindow(frmTallyhost& form)
        : m_form(&form), m_buttonHadFocus(form.comUploadTallyhost->hasFocus()) {
        form.comUploadTallyhost->setEnabled(false);
        form.mnuUploadTallyhost->setEnabled(false);
        form.cmdCancel->setEnabled(true);
        form.cmdCancel->show();
        // The Cancel button covers the end of the line; what the line said before is over.
        form.lblStatus->clear();
        form.lblStatus->setToolTip(QString());
        // The focus leaves a button that is disabled; it comes back unless sent elsewhere.
        if (m_buttonHadFocus)
            m_movedTo = QApplication::focusWidget();
    }
    ~BusyWindow() {
        if (!m_form)
            return;
        m_form->cmdCancel->hide();
        m_form->comUploadTallyhost->setEnabled(true);
        m_form->mnuUploadTallyhost->setEnabled(true);
        if (m_buttonHadFocus && QApplication::focusWidget() == m_movedTo)
            m_form->comUploadTallyhost->setFocus();
    }
    BusyWindow(const BusyWindow&) = delete;
    BusyWindow& operator=(const BusyWindow&) = delete;

private:
    QPointer<frmTallyhost> m_form;
    bool m_buttonHadFocus;
    QPointer<QWidget> m_movedTo;
};

// One line under the controls, up to the Cancel button while that is shown. When the text is
// too long for it, the part named `where` gives way, or else the end of the text; the whole text
// is then the line's tool tip, followed by `tip`.
void showStatus(frmTallyhost& form, const QString& before, const QString& where = {},
                const QString& after = {}, const QString& tip = {}) {
    QLabel& line = *form.lblStatus;
    const QFontMetrics fm = line.fontMetrics();
    const int room =
        form.cmdCancel->isVisible() ? form.cmdCancel->x() - line.x() - 8 : line.width() - 2;
    const QString whole = before + where + after;
    QString shown = whole;
    if (fm.horizontalAdvance(whole) > room) {
        const int left = room - fm.horizontalAdvance(before + after);
        shown = where.isEmpty() || left < fm.horizontalAdvance(QStringLiteral("m.../m"))
                    ? fm.elidedText(whole, Qt::ElideRight, room)
                    : before + fm.elidedText(where, Qt::ElideMiddle, left) + after;
    }
    line.setText(shown);
    QString fullTip = shown != whole ? whole : QString();
    if (!tip.isEmpty())
        fullTip += (fullTip.isEmpty() ? QString() : QStringLiteral("\n")) + tip;
    line.setToolTip(fullTip);
}

// When something happened: the time alone today, the date and time before.
QString whenSaid(const QDateTime& time) {
    const QDateTime local = time.toLocalTime();
    // Minutes are enough here, whatever the locale's short format says.
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    format.remove(QLatin1String(":ss"));
    if (local.date() == QDate::currentDate())
        return QLocale().toString(local.time(), format);
    return QLocale().toString(local.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           QLocale().toString(local.time(), format);
}

// What the last attempt came to, on the status line.
// The address published, and the IPv6 address beside it where the page has one.
QString addressesOf(const platform::HistoryEntry& e) {
    return e.address6.isEmpty() ? e.address : e.address + QStringLiteral(" and ") + e.address6;
}

void showOutcome(frmTallyhost& form, const platform::HistoryEntry& e) {
    const QString at = QStringLiteral(" at ") + whenSaid(e.time);
    switch (e.result) {
    case platform::HistoryEntry::Result::Published: {
        // An IPv6 marker left empty is said after the rest, in full in the tip.
        const QString ipv6 = e.ipv6Note.isEmpty() ? QString() : QStringLiteral("; ") + e.ipv6Note;
        const QString reason = platform::UnreachableReason(e.address);
        if (reason.isEmpty()) {
            showStatus(form, QStringLiteral("Published %1 to ").arg(addressesOf(e)),
                       platform::Destination(e), at + ipv6, e.ipv6Note);
            return;
        }
        // Published all the same: the page says what this machine knows.
        QString tip = QStringLiteral("%1 is %2. Tools > Options chooses where the published "
                                     "address comes from.")
                          .arg(e.address, reason);
        if (!e.ipv6Note.isEmpty())
            tip += QLatin1Char('\n') + e.ipv6Note;
        showStatus(form, QStringLiteral("Published %1 to ").arg(addressesOf(e)),
                   platform::Destination(e),
                   at + QStringLiteral(", unreachable: see Tools > Options") + ipv6, tip);
        return;
    }
    case platform::HistoryEntry::Result::Unchanged:
        showStatus(form,
                   QStringLiteral("Unchanged, not uploaded again: %1 at ").arg(addressesOf(e)),
                   platform::Destination(e), at);
        return;
    case platform::HistoryEntry::Result::Failed:
        showStatus(form, QStringLiteral("Not published") + at + QStringLiteral(": ") +
                             e.message.simplified());
        return;
    case platform::HistoryEntry::Result::Cancelled:
        showStatus(form, QStringLiteral("Cancelled") + at + QStringLiteral(": ") +
                             (e.message == QLatin1String("Cancelled")
                                  ? QStringLiteral("the page on the server is as it was")
                                  : e.message));
        return;
    }
}

// The server as the status line names it: without scheme or login.
QString hostOf(const QString& site) {
    QString host = platform::SiteWithoutLogin(site).trimmed();
    const qsizetype scheme = host.indexOf(QLatin1String("://"));
    if (scheme >= 0)
        host = host.mid(scheme + 3);
    return host;
}

// Waits for the transfer's command to end while the window stays live. Sleeps in the event
// loop until something happens instead of spinning.
void WaitForTransfer(const platform::Inet& inet) {
    platform::ProcessEventsUntil(&inet, &platform::Inet::CommandFinished,
                                 [&inet] { return !inet.StillExecuting(); });
}

// After a failure the user is taken to the setting at fault, ready to type it anew.
void focusField(QLineEdit* field) {
    field->setFocus();
    field->selectAll();
}

void reportTransferFailure(const platform::Inet& inet) {
    platform::MsgBox(QStringLiteral("Unable to upload file: ") + inet.LastError(),
                     platform::MsgIcon::Critical);
    frmTallyhost& form = MainForm();
    switch (inet.LastFault()) {
    case platform::InetFault::Site:
        focusField(form.txtFTPSite);
        break;
    case platform::InetFault::Login:
        focusField(form.txtPassword);
        break;
    case platform::InetFault::Directory:
        focusField(form.txtUploadDir);
        break;
    case platform::InetFault::Other:
        break;
    }
}

// The date and time as the page shows them, read anew for every line that asks; formatted
// again only when the clock has moved on to another second.
class PageClock {
public:
    const QByteArray& date() {
        refresh();
        return m_date;
    }
    const QByteArray& time() {
        refresh();
        return m_time;
    }

private:
    void refresh() {
        const std::time_t now = std::time(nullptr);
        if (now == m_second && !m_time.isEmpty())
            return;
        m_second = now;
        m_date = PageDate().toLocal8Bit();
        m_time = PageTime().toLocal8Bit();
    }

    std::time_t m_second = 0;
    QByteArray m_date;
    QByteArray m_time;
};

// The window shows the markers capitalised, so that spelling works as well as the lower-case
// one; any other mix of cases stays on the page as written.
constexpr QByteArrayView DateMarker("%date%");
constexpr QByteArrayView TimeMarker("%time%");
constexpr QByteArrayView ShownDateMarker("%Date%");
constexpr QByteArrayView ShownTimeMarker("%Time%");

// Where marker first stands in text at or after from; npos when nowhere.
std::size_t find(QByteArrayView text, QByteArrayView marker, std::size_t from = 0) {
    return std::string_view(text.data(), std::size_t(text.size()))
        .find(std::string_view(marker.data(), std::size_t(marker.size())), from);
}

// The markers replaced in one step: the IPv4 and the IPv6 address markers, or one other marker
// and an empty one, which is never found.
using Markers = std::array<QByteArrayView, 2>;

struct Hit {
    std::size_t at = std::string_view::npos;
    std::size_t which = 0;
};

// The markers of one step in a text, from left to right. Where two start at the same place the
// longer one counts, so that whichever markers the user chose, one is never read as a part of
// the other ("%Tallyhost6%" never as "%Tallyhost" and "6%"); two equal markers are the first.
// Each marker's next place is kept, so that many of one marker do not send the search through
// the rest of a long line again for the other.
//
// Markers that begin alike, as the usual ones do, are looked for together: where what they
// have in common stands, and then which of them goes on from there. A page without the second
// marker so costs what it did without it.
class MarkerSearch {
public:
    // common: what both markers begin with, as CommonStart tells.
    MarkerSearch(QByteArrayView text, const Markers& markers, QByteArrayView common)
        : m_text(text), m_markers(markers), m_common(common) {
        if (!m_common.isEmpty())
            return;
        for (std::size_t i = 0; i < m_markers.size(); ++i)
            m_at[i] = m_markers[i].isEmpty() ? std::string_view::npos : find(text, m_markers[i]);
    }

    Hit next(std::size_t from) {
        if (!m_common.isEmpty())
            return nextTogether(from);
        Hit hit;
        for (std::size_t i = 0; i < m_markers.size(); ++i) {
            if (m_at[i] != std::string_view::npos && m_at[i] < from)
                m_at[i] = find(m_text, m_markers[i], from);
            if (m_at[i] < hit.at || (m_at[i] == hit.at && hit.at != std::string_view::npos &&
                                     m_markers[i].size() > m_markers[hit.which].size()))
                hit = {m_at[i], i};
        }
        return hit;
    }

private:
public:
    static QByteArrayView CommonStart(const Markers& markers) {
        qsizetype n = 0;
        while (n < markers[0].size() && n < markers[1].size() && markers[0][n] == markers[1][n])
            ++n;
        return markers[0].first(n);
    }

private:
    Hit nextTogether(std::size_t from) const {
        const auto size = std::size_t(m_text.size());
        for (std::size_t at; (at = find(m_text, m_common, from)) != std::string_view::npos;
             from = at + 1) {
            Hit hit;
            for (std::size_t i = 0; i < m_markers.size(); ++i) {
                const auto length = std::size_t(m_markers[i].size());
                if (size - at >= length &&
                    std::memcmp(m_text.data() + at, m_markers[i].data(), length) == 0 &&
                    (hit.at == std::string_view::npos ||
                     m_markers[i].size() > m_markers[hit.which].size()))
                    hit = {at, i};
            }
            if (hit.at != std::string_view::npos)
                return hit;
        }
        return {};
    }

    QByteArrayView m_text;
    const Markers& m_markers;
    const QByteArrayView m_common;
    std::array<std::size_t, 2> m_at{};
};

// Both markers in text replaced by value(which), from left to right, never looking again at
// what went in; each value is asked for once. Answers text itself when it holds no marker;
// otherwise the result, built in into.
template <typename Value>
QByteArrayView replaceBoth(QByteArrayView text, const Markers& markers, QByteArrayView common,
                           const Value& value, std::string& into) {
    MarkerSearch search(text, markers, common);
    Hit hit = search.next(0);
    if (hit.at == std::string_view::npos)
        return text;
    std::array<std::optional<QByteArrayView>, 2> values;
    into.clear();
    std::size_t from = 0;
    do {
        into.append(text.data() + from, hit.at - from);
        std::optional<QByteArrayView>& replacement = values[hit.which];
        if (!replacement)
            replacement = value(hit.which);
        into.append(replacement->data(), std::size_t(replacement->size()));
        from = hit.at + std::size_t(markers[hit.which].size());
    } while ((hit = search.next(from)).at != std::string_view::npos);
    into.append(text.data() + from, std::size_t(text.size()) - from);
    return {into.data(), qsizetype(into.size())};
}

// Every marker in text replaced by value(), from left to right, never looking again at what
// went in. Answers text itself when it holds no marker; otherwise the result, built in into.
template <typename Value>
QByteArrayView replaceAll(QByteArrayView text, QByteArrayView marker, const Value& value,
                          std::string& into) {
    // An empty marker would match between every two bytes, so it replaces nothing.
    std::size_t hit = marker.isEmpty() ? std::string_view::npos : find(text, marker);
    if (hit == std::string_view::npos)
        return text;
    const QByteArrayView replacement = value();
    into.clear();
    std::size_t from = 0;
    do {
        into.append(text.data() + from, hit - from);
        into.append(replacement.data(), std::size_t(replacement.size()));
        from = hit + std::size_t(marker.size());
    } while ((hit = find(text, marker, from)) != std::string_view::npos);
    into.append(text.data() + from, std::size_t(text.size()) - from);
    return {into.data(), qsizetype(into.size())};
}

// The markers replaced one after the other, each in what the one before left. The IPv6
// address, the date and the time are asked for only when the line holds their marker.
struct LineFill {
    std::optional<QByteArrayView> common; // of the address markers, which stay for the page
    std::string afterIp;
    std::string afterDate;
    std::string afterShownDate;
    std::string afterTime;
    std::string afterShownTime;

    template <typename IPv6, typename Date, typename Time>
    QByteArrayView operator()(QByteArrayView line, const Markers& ipMarkers, QByteArrayView ip,
                              const IPv6& ipv6, const Date& date, const Time& time) {
        if (ipMarkers[1].isEmpty())
            line = replaceAll(
                line, ipMarkers[0], [ip] { return ip; }, afterIp);
        else {
            if (!common)
                common = MarkerSearch::CommonStart(ipMarkers);
            line = replaceBoth(
                line, ipMarkers, *common,
                [&](std::size_t which) { return which == 0 ? ip : ipv6(); }, afterIp);
        }
        line = replaceAll(line, DateMarker, date, afterDate);
        line = replaceAll(line, ShownDateMarker, date, afterShownDate);
        line = replaceAll(line, TimeMarker, time, afterTime);
        return replaceAll(line, ShownTimeMarker, time, afterShownTime);
    }
};

// One step's markers replaced in a line that comes in parts, as in a whole line: from left to
// right, never looking again at what went in. The last bytes of each part, as many as the
// longer marker less one, wait for the next part, since a marker may begin there; so does a
// shorter marker found there, since the longer one may begin at the same place. Each
// replacement is asked for once a line, when the line first needs it. What comes out goes to
// the next step's stream, after the last one to the page.
class MarkerStream {
public:
    using Values = std::array<std::function<QByteArray()>, 2>;

    MarkerStream(const Markers& markers, Values values, MarkerStream* next,
                 clsTextOutputFile& writer)
        : m_markers{markers[0].toByteArray(), markers[1].toByteArray()}, m_views{m_markers[0],
                                                                                 m_markers[1]},
          m_common(MarkerSearch::CommonStart(m_views)),
          m_longest(std::size_t(std::max(markers[0].size(), markers[1].size()))),
          m_lookUp(std::move(values)), m_next(next), m_writer(writer) {}

    void feed(QByteArrayView bytes) {
        if (m_longest == 0) {
            pass(bytes);
            return;
        }
        m_pending += bytes;
        replace(false);
    }

    // What still waits holds no marker that goes on into the next line.
    void endLine() {
        replace(true);
        m_haveValue = {};
    }

private:
    void replace(bool lineEnded) {
        const std::size_t size = std::size_t(m_pending.size());
        MarkerSearch search(m_pending, m_views, m_common);
        std::size_t from = 0;
        for (Hit hit; (hit = search.next(from)).at != std::string_view::npos;) {
            if (!lineEnded && hit.at + m_longest > size)
                break;
            pass(pending(from, hit.at - from));
            if (!m_haveValue[hit.which]) {
                m_value[hit.which] = m_lookUp[hit.which]();
                m_haveValue[hit.which] = true;
            }
            pass(m_value[hit.which]);
            from = hit.at + std::size_t(m_views[hit.which].size());
        }
        const std::size_t keep = lineEnded ? 0 : std::min(m_longest - 1, size - from);
        pass(pending(from, size - keep - from));
        m_pending.remove(0, qsizetype(size - keep));
    }

    QByteArrayView pending(std::size_t from, std::size_t size) const {
        return {m_pending.constData() + from, qsizetype(size)};
    }

    void pass(QByteArrayView bytes) {
        if (bytes.isEmpty())
            return;
        if (m_next)
            m_next->feed(bytes);
        else
            m_writer.WritePart(bytes);
    }

    const std::array<QByteArray, 2> m_markers;
    const Markers m_views;
    const QByteArrayView m_common;
    const std::size_t m_longest;
    const Values m_lookUp;
    MarkerStream* const m_next;
    clsTextOutputFile& m_writer;
    QByteArray m_pending;
    std::array<QByteArray, 2> m_value;
    std::array<bool, 2> m_haveValue{};
};

// Whether a line may hold a marker: only a line holding a marker's first byte can.
class MarkerBytes {
public:
    explicit MarkerBytes(const Markers& ipMarkers) {
        for (QByteArrayView marker : ipMarkers)
            if (!marker.isEmpty() && marker.front() != DateMarker.front() &&
                std::find(m_others.begin(), m_others.begin() + m_count, marker.front()) ==
                    m_others.begin() + m_count)
                m_others[m_count++] = marker.front();
    }

    bool mayHoldMarker(QByteArrayView line) const {
        if (line.isEmpty())
            return false;
        const auto size = std::size_t(line.size());
        if (std::memchr(line.data(), DateMarker.front(), size))
            return true;
        return std::any_of(m_others.begin(), m_others.begin() + m_count,
                           [&](char c) { return std::memchr(line.data(), c, size) != nullptr; });
    }

private:
    std::array<char, 2> m_others{};
    std::size_t m_count = 0;
};

// The IPv6 address is asked for when the page first needs it, and then only once.
void writePage(clsTextInputFile& reader, clsTextOutputFile& writer, const Markers& ipMarkers,
               const QByteArray& ip, const std::function<QByteArray()>& lookUpIPv6) {
    PageClock clock;
    const auto date = [&] {
        return QByteArrayView(clock.date());
    };
    const auto time = [&] {
        return QByteArrayView(clock.time());
    };
    std::optional<QByteArray> ipv6Found;
    const auto ipv6 = [&] {
        if (!ipv6Found)
            ipv6Found = lookUpIPv6();
        return QByteArrayView(*ipv6Found);
    };
    const MarkerBytes markerBytes(ipMarkers);
    LineFill fill;

    // A line longer than the reader's buffer goes through the markers in turn, part by part.
    const auto one = [](QByteArrayView marker) {
        return Markers{marker, {}};
    };
    const auto dateValue = [&] {
        return clock.date();
    };
    const auto timeValue = [&] {
        return clock.time();
    };
    MarkerStream shownTimeStream(one(ShownTimeMarker), {timeValue, {}}, nullptr, writer);
    MarkerStream timeStream(one(TimeMarker), {timeValue, {}}, &shownTimeStream, writer);
    MarkerStream shownDateStream(one(ShownDateMarker), {dateValue, {}}, &timeStream, writer);
    MarkerStream dateStream(one(DateMarker), {dateValue, {}}, &shownDateStream, writer);
    MarkerStream ipStream(ipMarkers,
                          {[&] { return ip; },
                           [&] {
                               return ipv6().toByteArray();
                           }},
                          &dateStream, writer);

    while (!reader.EndOfFile()) {
        bool lineEnded = false;
        const QByteArrayView line = reader.ReadLineView(LinePart, lineEnded);
        if (!lineEnded) {
            ipStream.feed(line);
            while (!lineEnded)
                ipStream.feed(reader.ReadLineView(LinePart, lineEnded));
            ipStream.endLine();
            dateStream.endLine();
            shownDateStream.endLine();
            timeStream.endLine();
            shownTimeStream.endLine();
            writer.WriteLine({});
            continue;
        }
        if (!markerBytes.mayHoldMarker(line))
            writer.WriteLine(line);
        else
            writer.WriteLine(fill(line, ipMarkers, ip, ipv6, date, time));
    }
}

QString inFolder(const QString& folder, const QString& name) {
    if (folder.isEmpty() || folder.endsWith(QDir::separator()))
        return folder + name;
    return folder + QDir::separator() + name;
}

// Another copy of the program (a scheduled run, say) may be writing or uploading the same page.
// Wait for it rather than overwrite its page half way; give up after a while so that a
// scheduler never piles up runs that hang.
std::unique_ptr<platform::FileLock> lockPage(frmTallyhost& form, const QString& pageFolder,
                                             const QString& uploadFileName) {
    auto lock = std::make_unique<platform::FileLock>(
        inFolder(pageFolder, uploadFileName + QStringLiteral(".lock")));
    QDeadlineTimer deadline(g_pageLockPatience);
    for (;;) {
        const platform::FileLock::State state = lock->TryLock();
        // Where no lock can be made, opening the page will say what is wrong.
        if (state != platform::FileLock::State::Busy)
            return lock;
        // Cancelled, or the window unloaded as the program ends.
        if (UploadCancelled() || !g_form)
            return nullptr;
        showStatus(form, QStringLiteral("Waiting for another upload of this page"));
        if (deadline.hasExpired()) {
            platform::MsgBox(QStringLiteral("Another upload of ") + uploadFileName +
                                 QStringLiteral(" is still running. Try again later."),
                             platform::MsgIcon::Critical);
            return nullptr;
        }
        // The window stays live meanwhile. Not a nested event loop: once the window has been
        // closed and the program is ending, that would return at once and spin.
        QTimer pause;
        pause.setSingleShot(true);
        pause.start(std::chrono::milliseconds(100));
        platform::ProcessEventsUntil(&pause, &QTimer::timeout,
                                     [&pause] { return !pause.isActive(); });
    }
}

// The page is written under this name in the page folder and must stay there: no folder part,
// neither "." nor "..", and no control character (a NUL ends the name early where the system
// reads it).
bool isPlainFileName(const QString& name) {
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

// Control characters written out, so that a message stays one readable line.
QString visible(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

bool checkUploadFileName(QLineEdit& field) {
    const QString name = field.text();
    if (isPlainFileName(name))
        return true;
    platform::MsgBox(QStringLiteral("Unable to use the upload file name \"") + visible(name) +
                         QStringLiteral("\": it must be a plain file name, without \"/\", \"\\\" "
                                        "or control characters, and neither \".\" nor \"..\". "
                                        "Enter a name such as index.htm."),
                     platform::MsgIcon::Critical);
    field.setFocus();
    return false;
}

bool ownPageFolder() {
#if defined(Q_OS_WIN)
    return false;
#else
    return qEnvironmentVariable("windir").isEmpty();
#endif
}

// A page folder of the user's own is made when missing, and anything else found under its
// name is refused rather than used.
bool preparePageFolder(const QString& folder) {
    if (!ownPageFolder())
        return true;
    const QString problem = platform::FileSystemObject().MakePrivateFolder(folder);
    if (problem.isEmpty())
        return true;
    platform::MsgBox(QStringLiteral("Unable to use the page folder ") + folder +
                         QStringLiteral(": ") + problem + QLatin1Char('.'),
                     platform::MsgIcon::Critical);
    return false;
}

// What one upload works from. The window stays live while an upload waits (for the address,
// another run's page, the server); what is typed meanwhile is for the next upload, never checked
// halfway into this one.
struct JobFields {
    QString templatePath;
    QString ipMarker;
    QString site;
    QString userName;
    QString password;
    QString uploadFileName;
    QString uploadDir;
};

JobFields readJobFields(const frmTallyhost& form) {
    return {form.txtHTMLTemplate->text(), form.txtIPParseField[0]->text(),
            form.txtFTPSite->text(),      form.txtUserName->text(),
            form.txtPassword->text(),     form.txtUploadFileName->text(),
            form.txtUploadDir->text()};
}

// Sends the page to the site as typed, with its own scheme or plain FTP without one. False
// when a command failed; the transfer control says why.
bool sendPage(platform::Inet& inet, const JobFields& job, const QString& pagePath,
              const QString& trustedCertificate) {
    inet.setURL(job.site);
    inet.setUserName(job.userName);
    inet.setPassword(job.password);
    inet.setTrustedCertificate(trustedCertificate);

    if (!trimSpaces(job.uploadDir).isEmpty()) {
        inet.Execute(QStringLiteral("CD ") + quoted(job.uploadDir));
        WaitForTransfer(inet);
        if (!inet.LastSucceeded() || UploadCancelled())
            return false;
    }
    inet.Execute(QStringLiteral("PUT ") + quoted(pagePath) + QLatin1Char(' ') +
                 quoted(job.uploadFileName));
    WaitForTransfer(inet);
    return inet.LastSucceeded();
}

} // namespace

void SetPageLockPatience(std::chrono::milliseconds patience) {
    g_pageLockPatience = patience;
}

QString CommandLineText(const QStringList& arguments) {
    return arguments.join(QLatin1Char(' ')).toUpper();
}

bool HasUnattendedSwitch(const QString& commandLine) {
    return commandLine.contains(QLatin1String("/A"), Qt::CaseSensitive);
}

frmTallyhost& MainForm() {
    if (g_form)
        return *g_form;
    g_form = new frmTallyhost;
    // Each command of the window calls one procedure.
    QObject::connect(g_form, &frmTallyhost::uploadRequested, [] { UploadPage(); });
    QObject::connect(g_form, &frmTallyhost::cancelRequested, [] { CancelUpload(); });
    QObject::connect(g_form, &frmTallyhost::exitRequested, [] { ExitProgram(); });
    QObject::connect(g_form, &frmTallyhost::optionsRequested, [] { ShowOptions(); });
    QObject::connect(g_form, &frmTallyhost::historyRequested, [] { ShowHistory(); });
    QObject::connect(g_form, &frmTallyhost::websiteRequested, [] { OpenWebsite(); });
    g_form->mayClose = [] { return QueryUnload(); };
    return *g_form;
}

bool MainFormLoaded() {
    return !g_form.isNull();
}

void Main() {
    strCommandLine = CommandLineText(Application::CommandArguments());

    frmTallyhost& form = MainForm();
    // An unattended run with a window system that nobody sees shows the window without
    // drawing it.
    if (HasUnattendedSwitch(strCommandLine) && platform::IsHeadless())
        form.setAttribute(Qt::WA_DontShowOnScreen);
    form.show();
    LoadSettings();
    form.txtHTMLTemplate->setFocus();
    // What happened last, whether from here or on the schedule.
    const QList<platform::HistoryEntry> history = platform::ReadHistory();
    if (!history.isEmpty())
        showOutcome(form, history.last());

    if (!HasUnattendedSwitch(strCommandLine)) {
        ReportMisplacedSettings();
        return;
    }
    bool uploaded = false;
    const std::optional<platform::Publication> before = platform::LoadPublication();
    {
        const platform::MessageLine oneLine;
        // A value the program does not see would send the page to the wrong place, or
        // nowhere, while the scheduler hears that all went well.
        uploaded = ReportMisplacedSettings() && UploadPage();
    }
    NoticeUnattendedRun(uploaded, before);
    ExitProgram(uploaded ? 0 : 1);
}

void ExitProgram(int status) {
    // Stopped the way Cancel stops it, the upload leaves the server's page as it was, its own
    // page removed and its attempt in the history; the program ends once it has unwound.
    if (g_uploading && !g_cancelled && !HasUnattendedSwitch(strCommandLine)) {
        if (!QueryUnload())
            return;
        // It may have ended on its own while the question was open.
        if (g_uploading) {
            g_exitAfterUpload = status;
            return;
        }
    }
    // An unattended run ended from its window while the page is still on its way has not
    // published it, and the scheduler must not hear otherwise.
    if (g_uploading && HasUnattendedSwitch(strCommandLine))
        status = std::max(status, 1);
    if (g_uploading && g_record) {
        g_record->time = QDateTime::currentDateTimeUtc();
        g_record->result = platform::HistoryEntry::Result::Cancelled;
        g_record->message = QStringLiteral("Stopped by File > Exit");
        platform::AddToHistory(*g_record);
        g_record = nullptr;
    }
    SaveSettings();
    if (g_form) {
        g_form->hide();
        g_form->deleteLater();
        g_form = nullptr;
    }
    platform::EndProcess(status);
}

void LoadSettings() {
    using platform::SettingKey;
    frmTallyhost& form = MainForm();
    platform::SettingsStore store = OpenSettings();
    form.txtFTPSite->setText(store.GetSetting(SettingKey::FTPSite));
    form.txtUserName->setText(store.GetSetting(SettingKey::UserName));
    form.txtPassword->setText(store.GetSetting(SettingKey::Password));
    form.txtUploadFileName->setText(store.GetSetting(SettingKey::UploadFileName));
    form.txtHTMLTemplate->setText(store.GetSetting(SettingKey::HTMLTemplate));
    form.txtIPParseField[0]->setText(store.GetSetting(SettingKey::IPParseField));
    form.txtUploadDir->setText(store.GetSetting(SettingKey::UploadDir));

    // A long value reads best from its start; the template's file name, from its end.
    for (QLineEdit* field : form.findChildren<QLineEdit*>())
        field->setCursorPosition(0);
    form.txtHTMLTemplate->end(false);
}

bool ReportMisplacedSettings() {
    platform::SettingsStore store = OpenSettings();
    QStringList problems;
    for (const auto& [section, key] : store.Keys()) {
        // The key as the program spells it, in its own section where the file's section is
        // only spelled otherwise.
        const platform::Setting* meant = platform::MisplacedSetting(section, key);
        if (!meant)
            continue;
        QString problem =
            key + (section.isEmpty() ? QStringLiteral(" outside any section")
                                     : QStringLiteral(" under [") + section + QLatin1Char(']'));
        const bool spelled = key != meant->Key();
        const bool moved = section != meant->Section();
        if (spelled)
            problem += QStringLiteral(" is spelled ") + meant->Key();
        if (spelled && moved)
            problem += QStringLiteral(" and");
        if (moved)
            problem += QStringLiteral(" belongs under [") + meant->Section() + QLatin1Char(']');
        problems << problem;
    }
    if (problems.isEmpty())
        return true;
    platform::MsgBox(QStringLiteral("Unable to use settings in ") + store.FileName() +
                         QStringLiteral(": ") + problems.join(QStringLiteral("; ")) +
                         QLatin1Char('.'),
                     platform::MsgIcon::Exclamation);
    return false;
}

void SaveSettings() {
    using platform::SettingKey;
    frmTallyhost& form = MainForm();
    platform::SettingsStore store = OpenSettings();
    store.SaveSetting(SettingKey::FTPSite, form.txtFTPSite->text());
    store.SaveSetting(SettingKey::UserName, form.txtUserName->text());
    store.SaveSetting(SettingKey::Password, form.txtPassword->text());
    store.SaveSetting(SettingKey::UploadFileName, form.txtUploadFileName->text());
    store.SaveSetting(SettingKey::HTMLTemplate, form.txtHTMLTemplate->text());
    store.SaveSetting(SettingKey::IPParseField, form.txtIPParseField[0]->text());
    store.SaveSetting(SettingKey::UploadDir, form.txtUploadDir->text());
    SyncSettings(store);
}

bool ValidateFields() {
    frmTallyhost& form = MainForm();
    const std::pair<QLineEdit*, const char*> required[] = {
        {form.txtHTMLTemplate, "Must supply HTML Template file name."},
        {form.txtIPParseField[0], "Must supply IP Parse Field to insert IP address."},
        {form.txtFTPSite, "Must supply FTP Site to upload ip address."},
        {form.txtUserName, "Must supply FTP User Name."},
        {form.txtPassword, "Must supply FTP password."},
        {form.txtUploadFileName, "Must supply FTP upload file name."},
    };
    for (const auto& [field, message] : required) {
        if (field->text() == QString()) {
            platform::MsgBox(QString::fromLatin1(message), platform::MsgIcon::None,
                             platform::SettingsStoreName());
            field->setFocus();
            return false;
        }
    }
    return true;
}

QString PageFolder() {
    const QString windir = qEnvironmentVariable("windir");
    if (!windir.isEmpty())
        return windir + QDir::separator() + QStringLiteral("temp");
#if defined(Q_OS_WIN)
    return QStringLiteral("\\temp");
#else
    // Not the shared temporary folder itself, where anyone could plant a link under the page's
    // name or block every run with a page or lock of their own.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime))
        return runtime + QStringLiteral("/vantrell");
    return QDir::tempPath() + QStringLiteral("/vantrell-") +
           QString::number(platform::CurrentUserId());
#endif
}

QByteArray FillLine(const QByteArray& line, const QByteArray& ipMarker, const QByteArray& ip,
                    const QByteArray& date, const QByteArray& time, const QByteArray& ipv6Marker,
                    const QByteArray& ipv6) {
    LineFill fill;
    return fill(
               line, Markers{ipMarker, ipv6Marker}, ip, [&] { return QByteArrayView(ipv6); },
               [&] { return QByteArrayView(date); }, [&] { return QByteArrayView(time); })
        .toByteArray();
}

QString PageDate() {
    return QLocale().toString(QDate::currentDate(), QStringLiteral("MMM dd yyyy"));
}

QString PageTime() {
    // The locale's long time format carries seconds and a time zone; the page shows no zone.
    const QString format = QLocale().timeFormat(QLocale::LongFormat);
    QString withoutZone;
    bool inQuote = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            inQuote = !inQuote;
        if (!inQuote && c == QLatin1Char('t'))
            continue;
        withoutZone += c;
    }
    withoutZone = withoutZone.simplified();
    return QLocale().toString(QTime::currentTime(), withoutZone);
}

namespace {

enum class JobEnd { Published, Unchanged, Failed };

// Builds and uploads the page, telling the status line where it has got to. What the history
// keeps of the attempt goes into record on the way.
JobEnd publishPage(frmTallyhost& form, platform::HistoryEntry& record, QString& pagePath) {
    if (!ValidateFields() || !checkUploadFileName(*form.txtUploadFileName))
        return JobEnd::Failed;
    const JobFields job = readJobFields(form);
    record.site = job.site;
    record.directory = job.uploadDir;
    record.file = job.uploadFileName;
    record.source = PublishedAddressSource();
    platform::Publication publication = DescribePublication();
    const QByteArray ipMarker = trimSpaces(job.ipMarker).toLocal8Bit();
    QByteArray ipv6Marker = IPv6Marker().toLocal8Bit();
    // The same marker twice stands for the IPv4 address, as it always did.
    if (ipv6Marker == ipMarker) {
        ipv6Marker.clear();
        publication.marker6.clear();
    }

    // One address for the whole page, settled before anything is written: a source that has
    // none to give stops the upload here.
    showStatus(form, QStringLiteral("Finding the public address"));
    if (!FindPublishedAddress(publication.address))
        return JobEnd::Failed;
    record.address = publication.address;
    // The IPv6 address is asked for once, and only for a page that has its marker: before the
    // comparison with the last upload where the template was read for that, else when the
    // page first needs it. Having none leaves its marker empty and the page goes all the same.
    bool askedIPv6 = false;
    const auto lookUpIPv6 = [&] {
        if (!askedIPv6) {
            askedIPv6 = true;
            publication.marker6 = QString::fromLocal8Bit(ipv6Marker);
            FindPublishedIPv6Address(publication.address6, publication.why6);
        }
        return publication.address6.toLocal8Bit();
    };
    const auto recordIPv6 = [&] {
        record.address6 = publication.address6;
        record.ipv6Note = IPv6Note(publication);
    };
    if (!publication.marker6.isEmpty())
        lookUpIPv6();
    recordIPv6();
    if (HasUnattendedSwitch(strCommandLine) && PublishedAlready(publication))
        return JobEnd::Unchanged;

    const QString& templatePath = job.templatePath;
    const QString& uploadFileName = job.uploadFileName;

    clsTextInputFile reader;
    QString templateFolder;
    if (!reader.OpenFile(templateFolder, templatePath)) {
        platform::MsgBox(QStringLiteral("Unable to open file: ") + templatePath,
                         platform::MsgIcon::Critical);
        focusField(form.txtHTMLTemplate);
        return JobEnd::Failed;
    }

    QString pageFolder = PageFolder();
    if (!preparePageFolder(pageFolder))
        return JobEnd::Failed;
    const QString page = inFolder(pageFolder, uploadFileName);
    // Writing the page replaces its content: a template that is the page would be lost.
    if (platform::FileSystemObject().SameFile(templatePath, page)) {
        platform::MsgBox(QStringLiteral("Unable to write the page ") + page +
                             QStringLiteral(": it is the template ") + templatePath +
                             QStringLiteral(" itself, and writing the page would destroy the "
                                            "template. Keep the template in another folder, or "
                                            "choose another upload file name."),
                         platform::MsgIcon::Critical);
        return JobEnd::Failed;
    }
    std::unique_ptr<platform::FileLock> pageLock = lockPage(form, pageFolder, uploadFileName);
    if (!pageLock)
        return JobEnd::Failed;
    // A page never published is never to be mistaken for what the server holds. It goes while
    // the lock is held: by then another run may be writing a page of its own.
    struct RemoveWhenCancelled {
        const QString& path;
        ~RemoveWhenCancelled() {
            if (g_cancelled && !path.isEmpty())
                QFile::remove(path);
        }
    } removeWhenCancelled{pagePath};

    clsTextOutputFile writer;
    if (!writer.OpenFile(pageFolder, uploadFileName))
        return JobEnd::Failed;
    pagePath = page;

    writePage(reader, writer, {ipMarker, ipv6Marker}, publication.address.toLocal8Bit(),
              lookUpIPv6);
    recordIPv6();
    writer.CloseFile();
    reader.CloseFile();

    // A page that did not reach the disk whole must not replace the one on the server.
    const QString writeFailure = writer.WriteFailure();
    if (!writeFailure.isEmpty()) {
        pageLock.reset();
        platform::MsgBox(QStringLiteral("Unable to write file: ") + pagePath +
                             QStringLiteral(" - ") + writeFailure,
                         platform::MsgIcon::Critical);
        return JobEnd::Failed;
    }

    platform::Inet& inet = *form.inetFTP;
    const QString host = hostOf(job.site);
    const QMetaObject::Connection progress = QObject::connect(
        &inet, &platform::Inet::Progress, &form,
        [&form, host, uploadFileName](platform::Inet::Stage stage, int percent) {
            // Once the whole page is there, the renames that put it in place run to their end:
            // cut between them, they could leave the server without the page.
            g_replacing = stage == platform::Inet::Stage::Replacing;
            form.cmdCancel->setEnabled(!g_replacing);
            switch (stage) {
            case platform::Inet::Stage::Connecting:
                showStatus(form, QStringLiteral("Connecting to ") + host);
                break;
            case platform::Inet::Stage::Uploading:
                showStatus(form,
                           QStringLiteral("Uploading %1 %2 %").arg(uploadFileName).arg(percent));
                break;
            case platform::Inet::Stage::Replacing:
                showStatus(form, QStringLiteral("Replacing the page"));
                break;
            }
        });
    struct Disconnect {
        QMetaObject::Connection connection;
        ~Disconnect() { QObject::disconnect(connection); }
    } disconnect{progress};

    // The first attempt may meet a server whose certificate or host key is new; once the user
    // trusts it, the page goes again. What they trusted and is refused anyway is not asked
    // about a second time.
    QString trustedCertificate =
        OpenSettings().GetSetting(platform::SettingKey::TrustedCertificate);
    QString trustedNow;
    while (!sendPage(inet, job, pagePath, trustedCertificate)) {
        if (UploadCancelled())
            return JobEnd::Failed;
        const platform::TrustProblem problem = inet.LastTrustProblem();
        if (problem.kind == platform::TrustProblem::Kind::None ||
            problem.fingerprint == trustedNow) {
            // Another run waiting for the page need not wait for someone to read this.
            pageLock.reset();
            reportTransferFailure(inet);
            return JobEnd::Failed;
        }
        platform::SettingsStore store = OpenSettings();
        // An unattended run only refuses, with a message; it never tries again.
        if (HasUnattendedSwitch(strCommandLine))
            pageLock.reset();
        if (!AskToTrust(problem, HasUnattendedSwitch(strCommandLine), inet.KnownHostsFile(),
                        store.FileName()))
            return JobEnd::Failed;
        trustedNow = problem.fingerprint;
        if (problem.kind == platform::TrustProblem::Kind::Certificate) {
            trustedCertificate = problem.fingerprint;
            store.SaveSetting(platform::SettingKey::TrustedCertificate, trustedCertificate);
            SyncSettings(store);
        }
    }
    pageLock.reset();
    RecordPublished(publication);
    return JobEnd::Published;
}

} // namespace

bool UploadPage() {
    if (g_uploading)
        return false;
    g_uploading = true;
    g_cancelled = false;
    g_replacing = false;
    platform::HistoryEntry record;
    record.start = HasUnattendedSwitch(strCommandLine) ? platform::HistoryEntry::Start::Schedule
                                                       : platform::HistoryEntry::Start::Window;
    struct Done {
        ~Done() {
            g_uploading = false;
            g_cancelled = false;
            g_record = nullptr;
        }
    } done;
    g_record = &record;

    SaveSettings();
    frmTallyhost& form = MainForm();
    Hourglass hourglass(form);
    BusyWindow busy(form);
    platform::MessageWatch messages;

    QString pagePath;
    const JobEnd end = publishPage(form, record, pagePath);
    record.time = QDateTime::currentDateTimeUtc();
    switch (end) {
    case JobEnd::Published:
        record.result = platform::HistoryEntry::Result::Published;
        break;
    case JobEnd::Unchanged:
        record.result = platform::HistoryEntry::Result::Unchanged;
        break;
    case JobEnd::Failed:
        if (g_cancelled) {
            record.result = platform::HistoryEntry::Result::Cancelled;
            record.message = g_replacing ? QStringLiteral("stopped while the page was being put "
                                                          "in place; the server may hold the old "
                                                          "page or the new one")
                                         : QStringLiteral("Cancelled");
        } else {
            record.result = platform::HistoryEntry::Result::Failed;
            if (const std::optional<platform::Message> said = messages.Last())
                record.message = said->text;
        }
        break;
    }
    // File > Exit has kept it already, on its way out.
    if (g_record)
        platform::AddToHistory(record);
    g_record = nullptr;
    if (g_form == &form)
        showOutcome(form, record);

    if (const std::optional<int> status = std::exchange(g_exitAfterUpload, std::nullopt)) {
        ExitProgram(*status);
        return end != JobEnd::Failed;
    }
    if (end == JobEnd::Published) {
        // Old copies the server would not let go are said once, beside the success.
        const QString note = form.inetFTP->LastNote();
        if (!HasUnattendedSwitch(strCommandLine))
            platform::MsgBox(QStringLiteral("File successfully loaded.") +
                                 (note.isEmpty() ? QString() : QStringLiteral("\n\n") + note),
                             platform::MsgIcon::Information, QStringLiteral("Vantrell"));
        else if (!note.isEmpty())
            platform::MsgBox(note, platform::MsgIcon::Exclamation);
    }
    return end != JobEnd::Failed;
}

bool UploadCancelled() {
    return g_uploading && g_cancelled;
}

void CancelUpload() {
    if (!g_uploading || g_cancelled)
        return;
    g_cancelled = true;
    if (g_form) {
        showStatus(*g_form, QStringLiteral("Cancelling"));
        g_form->inetFTP->Cancel();
    }
}

bool QueryUnload() {
    if (!g_uploading)
        return true;
    if (!platform::MsgBoxYesNo(QStringLiteral("An upload is still running. Stop it and close "
                                              "Vantrell?")))
        return false;
    CancelUpload();
    return true;
}

void ShowHistory() {
    frmHistory dialog(&MainForm());
    LoadHistory(dialog);
    dialog.exec();
}

void LoadHistory(frmHistory& dialog) {
    const QList<platform::HistoryEntry> entries = platform::ReadHistory();
    QTreeWidget& list = *dialog.lstHistory;
    list.clear();
    const QIcon failed = list.style()->standardIcon(QStyle::SP_MessageBoxCritical);
    const QIcon cancelled = list.style()->standardIcon(QStyle::SP_MessageBoxWarning);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const platform::HistoryEntry& e = *it;
        QString result;
        switch (e.result) {
        case platform::HistoryEntry::Result::Published:
            result = QStringLiteral("Published");
            break;
        case platform::HistoryEntry::Result::Unchanged:
            result = QStringLiteral("Unchanged, skipped");
            break;
        case platform::HistoryEntry::Result::Failed:
            result = QStringLiteral("Failed");
            break;
        case platform::HistoryEntry::Result::Cancelled:
            result = QStringLiteral("Cancelled");
            break;
        }
        auto* item = new QTreeWidgetItem(
            &list, {QLocale().toString(e.time.toLocalTime(), QLocale::ShortFormat),
                    e.start == platform::HistoryEntry::Start::Schedule ? QStringLiteral("Schedule")
                                                                       : QStringLiteral("Window"),
                    result, addressesOf(e), e.source, platform::Destination(e),
                    e.message.isEmpty() ? e.ipv6Note : e.message});
        item->setToolTip(6, e.message.isEmpty() ? e.ipv6Note : e.message);
        if (e.result == platform::HistoryEntry::Result::Failed) {
            item->setIcon(2, failed);
            item->setForeground(2, QBrush(QColor(0xd0, 0x30, 0x30)));
        } else if (e.result == platform::HistoryEntry::Result::Cancelled) {
            item->setIcon(2, cancelled);
        }
    }
    for (int column = 0; column + 1 < list.columnCount(); ++column)
        list.resizeColumnToContents(column);
    dialog.lblEmpty->setVisible(entries.isEmpty());
    // Under the home folder the path reads as a user would type it.
    QString path = QDir::toNativeSeparators(platform::HistoryPath());
    const QString home = QDir::toNativeSeparators(QDir::homePath());
    if (path.startsWith(home + QDir::separator()))
        path = QStringLiteral("~") + path.mid(home.size());
    dialog.lblPath->setText(QStringLiteral("Kept in ") + path);
}

void OpenWebsite() {
    ShellDocument(QStringLiteral("Open"), QString::fromLatin1(ProductWebsite), 0, 0);
}

void ReportUnexpectedError(const QString& what) {
    platform::MsgBox(what, platform::MsgIcon::Critical);
    platform::EndProcess(2);
}
