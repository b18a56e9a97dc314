#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <ctime>
#include <functional>
#include <memory>

// Where a filled page goes: a line in parts, each line ended by WriteLine (the text file
// writer's own two calls).
class PageSink {
public:
    virtual ~PageSink() = default;
    virtual void WritePart(QByteArrayView part) = 0;
    virtual void WriteLine(QByteArrayView line) = 0;
};

// What goes in place of each marker. Each is asked for when a line first needs it, and once a
// line at the most.
struct PageValues {
    std::function<QByteArray()> ip;
    std::function<QByteArray()> ipv6;
    std::function<QByteArray()> date;
    std::function<QByteArray()> time;
};

class MarkerStep;

// Puts the values in place of the template's markers, line by line: first the IP marker and the
// IPv6 marker together, then "%date%", "%Date%", "%time%" and "%Time%", each in what the step
// before left. Every marker is replaced from left to right and what went in is never looked at
// again; where the two address markers start at the same place the longer one counts. An empty
// marker replaces nothing.
//
// A line comes whole (Line) or, when it is too long to hold, in parts (Part, then EndLine): the
// page is the same either way. A marker may straddle two parts, so the last bytes of a part
// wait for the next.
class PageFill {
public:
    PageFill(QByteArrayView ipMarker, QByteArrayView ipv6Marker, PageValues values, PageSink& sink);
    ~PageFill();
    PageFill(const PageFill&) = delete;
    PageFill& operator=(const PageFill&) = delete;

    void Line(QByteArrayView line);
    void Part(QByteArrayView part);
    void EndLine();

private:
    // Whether a line may hold a marker: only one that holds a marker's first byte can.
    bool mayHoldMarker(QByteArrayView line) const;

    PageSink& m_sink;
    std::array<char, 3> m_firstBytes{};
    std::size_t m_firstByteCount = 0;
    // From the last step to the first, each feeding the one after it.
    std::array<std::unique_ptr<MarkerStep>, 5> m_steps;
};

// One line with its markers filled, as PageFill fills it.
QByteArray FillLine(const QByteArray& line, const QByteArray& ipMarker, const QByteArray& ip,
                    const QByteArray& date, const QByteArray& time,
                    const QByteArray& ipv6Marker = {}, const QByteArray& ipv6 = {});

// The text without the spaces around it, as a marker and the upload folder are read: only
// spaces count, a tab or other white space is part of the text.
QString TrimSpaces(const QString& text);

// Today's date as "Sep 24 2000" and the time in the locale's own format with seconds, as the
// page shows them.
QString PageDate();
QString PageTime();

// The date and time as the page shows them, read anew for every line that asks; formatted
// again only when the clock has moved on to another second.
class PageClock {
public:
    QByteArray Date();
    QByteArray Time();

private:
    void refresh();

    std::time_t m_second = 0;
    QByteArray m_date;
    QByteArray m_time;
};
