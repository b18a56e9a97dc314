#include "PageTemplate.h"

#include <QDate>
#include <QLocale>
#include <QTime>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr std::size_t NotFound = std::string_view::npos;

// The window shows the markers capitalised, so that spelling works as well as the lower-case
// one; any other mix of cases stays on the page as written.
constexpr QByteArrayView DateMarker("%date%");
constexpr QByteArrayView TimeMarker("%time%");
constexpr QByteArrayView ShownDateMarker("%Date%");
constexpr QByteArrayView ShownTimeMarker("%Time%");

// Where marker first stands in text at or after from; NotFound when nowhere.
std::size_t find(QByteArrayView text, QByteArrayView marker, std::size_t from = 0) {
    return std::string_view(text.data(), std::size_t(text.size()))
        .find(std::string_view(marker.data(), std::size_t(marker.size())), from);
}

QByteArrayView slice(QByteArrayView text, std::size_t from, std::size_t size) {
    return {text.data() + from, qsizetype(size)};
}

// The markers replaced in one step: the IPv4 and the IPv6 address markers, or one other marker
// and an empty one, which is never found.
using Markers = std::array<QByteArrayView, 2>;

struct Hit {
    std::size_t at = NotFound;
    std::size_t which = 0;
};

// What both markers begin with.
QByteArrayView commonStart(const Markers& markers) {
    qsizetype n = 0;
    while (n < markers[0].size() && n < markers[1].size() && markers[0][n] == markers[1][n])
        ++n;
    return markers[0].first(n);
}

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
    MarkerSearch(QByteArrayView text, const Markers& markers, QByteArrayView common)
        : m_text(text), m_markers(markers), m_common(common) {
        if (!m_common.isEmpty())
            return;
        for (std::size_t i = 0; i < m_markers.size(); ++i)
            m_at[i] = m_markers[i].isEmpty() ? NotFound : find(text, m_markers[i]);
    }

    Hit next(std::size_t from) {
        if (!m_common.isEmpty())
            return nextTogether(from);
        Hit hit;
        for (std::size_t i = 0; i < m_markers.size(); ++i) {
            if (m_at[i] != NotFound && m_at[i] < from)
                m_at[i] = find(m_text, m_markers[i], from);
            if (m_at[i] < hit.at || (m_at[i] == hit.at && hit.at != NotFound &&
                                     m_markers[i].size() > m_markers[hit.which].size()))
                hit = {m_at[i], i};
        }
        return hit;
    }

private:
    Hit nextTogether(std::size_t from) const {
        const auto size = std::size_t(m_text.size());
        for (std::size_t at; (at = find(m_text, m_common, from)) != NotFound; from = at + 1) {
            Hit hit;
            for (std::size_t i = 0; i < m_markers.size(); ++i) {
                const auto length = std::size_t(m_markers[i].size());
                if (size - at >= length &&
                    std::memcmp(m_text.data() + at, m_markers[i].data(), length) == 0 &&
                    (hit.at == NotFound || m_markers[i].size() > m_markers[hit.which].size()))
                    hit = {at, i};
            }
            if (hit.at != NotFound)
                return hit;
        }
        return {};
    }

    QByteArrayView m_text;
    const Markers& m_markers;
    const QByteArrayView m_common;
    std::array<std::size_t, 2> m_at{};
};

} // namespace

// One step: its markers replaced in a line, whole or in parts, and what comes out handed to
// the next step, after the last one to the page.
class MarkerStep {
public:
    using LookUp = std::array<std::function<QByteArray()>, 2>;

    MarkerStep(QByteArrayView first, QByteArrayView second, LookUp lookUp, MarkerStep* next,
               PageSink& sink)
        : m_markers{first.toByteArray(), second.toByteArray()}, m_views{m_markers[0], m_markers[1]},
          m_common(commonStart(m_views)),
          m_longest(std::size_t(std::max(first.size(), second.size()))),
          m_lookUp(std::move(lookUp)), m_next(next), m_sink(sink) {}

    // A whole line: nothing is copied unless a marker is found.
    void line(QByteArrayView text) {
        m_filled.clear();
        const std::size_t from =
            m_longest == 0 ? 0 : replace(text, true, [this](QByteArrayView bytes) {
                m_filled.append(bytes.data(), std::size_t(bytes.size()));
            });
        m_haveValue = {};
        // Every marker is longer than nothing, so a line where one was found has moved on.
        if (from == 0) {
            passLine(text);
            return;
        }
        m_filled.append(text.data() + from, std::size_t(text.size()) - from);
        passLine({m_filled.data(), qsizetype(m_filled.size())});
    }

    // The last bytes of a part, as many as the longer marker less one, wait for the next part,
    // since a marker may begin there; so does a shorter marker found there, since the longer
    // one may begin at the same place.
    void feed(QByteArrayView bytes) {
        if (m_longest == 0) {
            pass(bytes);
            return;
        }
        m_pending += bytes;
        const auto size = std::size_t(m_pending.size());
        const std::size_t from =
            replace(m_pending, false, [this](QByteArrayView part) { pass(part); });
        const std::size_t keep = std::min(m_longest - 1, size - from);
        pass(slice(m_pending, from, size - keep - from));
        m_pending.remove(0, qsizetype(size - keep));
    }

    // What still waits holds no marker that goes on into the next line.
    void endLine() {
        if (!m_pending.isEmpty()) {
            const auto size = std::size_t(m_pending.size());
            const std::size_t from =
                replace(m_pending, true, [this](QByteArrayView part) { pass(part); });
            pass(slice(m_pending, from, size - from));
            m_pending.clear();
        }
        m_haveValue = {};
        if (m_next)
            m_next->endLine();
        else
            m_sink.WriteLine({});
    }

private:
    // Hands the text up to each marker and the marker's value to out, from left to right.
    // Unless the line has ended, stops before a marker that the next part may make longer.
    // Answers where the text that was not handed on starts.
    template <typename Out>
    std::size_t replace(QByteArrayView text, bool lineEnded, const Out& out) {
        const auto size = std::size_t(text.size());
        MarkerSearch search(text, m_views, m_common);
        std::size_t from = 0;
        for (Hit hit; (hit = search.next(from)).at != NotFound;) {
            if (!lineEnded && hit.at + m_longest > size)
                break;
            out(slice(text, from, hit.at - from));
            out(value(hit.which));
            from = hit.at + std::size_t(m_views[hit.which].size());
        }
        return from;
    }

    QByteArrayView value(std::size_t which) {
        if (!m_haveValue[which]) {
            m_value[which] = m_lookUp[which]();
            m_haveValue[which] = true;
        }
        return m_value[which];
    }

    void pass(QByteArrayView bytes) {
        if (bytes.isEmpty())
            return;
        if (m_next)
            m_next->feed(bytes);
        else
            m_sink.WritePart(bytes);
    }

    void passLine(QByteArrayView line) {
        if (m_next)
            m_next->line(line);
        else
            m_sink.WriteLine(line);
    }

    const std::array<QByteArray, 2> m_markers;
    const Markers m_views;
    const QByteArrayView m_common;
    const std::size_t m_longest;
    const LookUp m_lookUp;
    MarkerStep* const m_next;
    PageSink& m_sink;
    QByteArray m_pending;
    std::string m_filled;
    std::array<QByteArray, 2> m_value;
    std::array<bool, 2> m_haveValue{};
};

PageFill::PageFill(QByteArrayView ipMarker, QByteArrayView ipv6Marker, PageValues values,
                   PageSink& sink)
    : m_sink(sink) {
    const auto one = [](std::function<QByteArray()> value) {
        return MarkerStep::LookUp{std::move(value), {}};
    };
    m_steps[4] = std::make_unique<MarkerStep>(ShownTimeMarker, QByteArrayView(), one(values.time),
                                              nullptr, sink);
    m_steps[3] = std::make_unique<MarkerStep>(TimeMarker, QByteArrayView(), one(values.time),
                                              m_steps[4].get(), sink);
    m_steps[2] = std::make_unique<MarkerStep>(ShownDateMarker, QByteArrayView(), one(values.date),
                                              m_steps[3].get(), sink);
    m_steps[1] = std::make_unique<MarkerStep>(DateMarker, QByteArrayView(), one(values.date),
                                              m_steps[2].get(), sink);
    m_steps[0] = std::make_unique<MarkerStep>(
        ipMarker, ipv6Marker, MarkerStep::LookUp{std::move(values.ip), std::move(values.ipv6)},
        m_steps[1].get(), sink);

    for (QByteArrayView marker : {DateMarker, ipMarker, ipv6Marker}) {
        const auto end = m_firstBytes.begin() + qsizetype(m_firstByteCount);
        if (!marker.isEmpty() && std::find(m_firstBytes.begin(), end, marker.front()) == end)
            m_firstBytes[m_firstByteCount++] = marker.front();
    }
}

PageFill::~PageFill() = default;

bool PageFill::mayHoldMarker(QByteArrayView line) const {
    const auto size = std::size_t(line.size());
    return std::any_of(m_firstBytes.begin(), m_firstBytes.begin() + qsizetype(m_firstByteCount),
                       [&](char c) { return std::memchr(line.data(), c, size) != nullptr; });
}

void PageFill::Line(QByteArrayView line) {
    if (line.isEmpty() || !mayHoldMarker(line))
        m_sink.WriteLine(line);
    else
        m_steps[0]->line(line);
}

void PageFill::Part(QByteArrayView part) {
    m_steps[0]->feed(part);
}

void PageFill::EndLine() {
    m_steps[0]->endLine();
}

QByteArray FillLine(const QByteArray& line, const QByteArray& ipMarker, const QByteArray& ip,
                    const QByteArray& date, const QByteArray& time, const QByteArray& ipv6Marker,
                    const QByteArray& ipv6) {
    struct Collected : PageSink {
        QByteArray text;
        void WritePart(QByteArrayView part) override { text += part; }
        void WriteLine(QByteArrayView end) override { text += end; }
    } page;
    PageFill fill(ipMarker, ipv6Marker,
                  {[&] { return ip; }, [&] { return ipv6; }, [&] { return date; },
                   [&] {
                       return time;
                   }},
                  page);
    fill.Line(line);
    return page.text;
}

QString TrimSpaces(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
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

QByteArray PageClock::Date() {
    refresh();
    return m_date;
}

QByteArray PageClock::Time() {
    refresh();
    return m_time;
}

void PageClock::refresh() {
    const std::time_t now = std::time(nullptr);
    if (now == m_second && !m_time.isEmpty())
        return;
    m_second = now;
    m_date = PageDate().toLocal8Bit();
    m_time = PageTime().toLocal8Bit();
}
