#include "PublishHistory.h"

#include "ServerText.h"
#include "StateFolder.h"
#include "UserFile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <utility>

namespace platform {

namespace {

const QString Time = QStringLiteral("time");
const QString Started = QStringLiteral("started");
const QString Address = QStringLiteral("address");
const QString Source = QStringLiteral("source");
const QString Site = QStringLiteral("site");
const QString Directory = QStringLiteral("directory");
const QString File = QStringLiteral("file");
const QString Result = QStringLiteral("result");
const QString Message = QStringLiteral("message");
const QString Address6 = QStringLiteral("address6");
const QString IPv6Note = QStringLiteral("ipv6");
const QString PageUrl = QStringLiteral("checked");
const QString PageHash = QStringLiteral("page");

// A history grown past the limit is cut back further, so that it is not rewritten on every run.
constexpr int KeptAfterTrim = HistoryLimit * 5 / 6;

// More than this is never read: an entry is a few hundred bytes. A history grown past it (by
// something else than this program) is cut back to what is read.
constexpr qint64 ReadLimit = 1024 * 1024;
// A message longer than this is cut: the history keeps the gist, a message box had the rest.
constexpr qsizetype MessageLimit = 1000;

const std::array<std::pair<HistoryEntry::Result, const char*>, 5> ResultNames{{
    {HistoryEntry::Result::Published, "published"},
    {HistoryEntry::Result::Unchanged, "unchanged"},
    {HistoryEntry::Result::Failed, "failed"},
    {HistoryEntry::Result::Cancelled, "cancelled"},
    {HistoryEntry::Result::NotSeen, "not seen"},
}};

QByteArray toLine(const HistoryEntry& e) {
    QJsonObject o{
        {Time, e.time.toUTC().toString(Qt::ISODateWithMs)},
        {Started, StartName(e.start)},
        {Address, e.address},
        {Source, e.source},
        {Site, SiteWithoutLogin(e.site)},
        {Directory, e.directory},
        {File, e.file},
        {Result, ResultName(e.result)},
        {Message, AsPlainText(e.message).simplified().left(MessageLimit)},
    };
    // Only a page with the IPv6 marker says anything of it.
    if (!e.address6.isEmpty())
        o.insert(Address6, e.address6);
    if (!e.ipv6Note.isEmpty())
        o.insert(IPv6Note, AsPlainText(e.ipv6Note).simplified());
    // Only a page looked at where visitors open it says where, and what it was.
    if (!e.pageUrl.isEmpty())
        o.insert(PageUrl, e.pageUrl);
    if (!e.pageHash.isEmpty())
        o.insert(PageHash, QString::fromLatin1(e.pageHash));
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<HistoryEntry> fromLine(QByteArrayView line) {
    const QJsonDocument doc = QJsonDocument::fromJson(line.toByteArray());
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    HistoryEntry e;
    e.time = QDateTime::fromString(o.value(Time).toString(), Qt::ISODateWithMs);
    if (!e.time.isValid())
        return std::nullopt;
    const QString started = o.value(Started).toString();
    if (started == StartName(HistoryEntry::Start::Window))
        e.start = HistoryEntry::Start::Window;
    else if (started == StartName(HistoryEntry::Start::Schedule))
        e.start = HistoryEntry::Start::Schedule;
    else if (started == StartName(HistoryEntry::Start::Unattended))
        e.start = HistoryEntry::Start::Unattended;
    else
        return std::nullopt;
    const QString result = o.value(Result).toString();
    const auto known = std::find_if(ResultNames.begin(), ResultNames.end(), [&](const auto& r) {
        return result == QLatin1String(r.second);
    });
    if (known == ResultNames.end())
        return std::nullopt;
    e.result = known->first;
    // Whatever wrote the file, what is shown of it is text.
    const auto text = [&o](const QString& name) {
        return AsPlainText(o.value(name).toString());
    };
    e.address = text(Address);
    e.source = text(Source);
    e.site = text(Site);
    e.directory = text(Directory);
    e.file = text(File);
    e.message = text(Message);
    e.address6 = text(Address6);
    e.ipv6Note = text(IPv6Note);
    e.pageUrl = text(PageUrl);
    e.pageHash = o.value(PageHash).toString().toLatin1();
    return e;
}

// The file's complete lines, the last ReadLimit bytes at most. A line that a run left half
// written at the end is not among them.
QList<QByteArray> readLines(const QString& path, bool* endsWhole = nullptr,
                            bool* tooLarge = nullptr) {
    if (endsWhole)
        *endsWhole = true;
    if (tooLarge)
        *tooLarge = false;
    QFile file;
    if (!OpenOrdinaryFile(file, path, Links::Refuse))
        return {};
    const qint64 size = file.size();
    const bool cut = size > ReadLimit;
    if (tooLarge)
        *tooLarge = cut;
    if (cut)
        file.seek(size - ReadLimit);
    QByteArray bytes = file.read(ReadLimit);
    QList<QByteArray> lines = bytes.split('\n');
    // What follows the last line end is a line not yet (or never to be) finished.
    const QByteArray tail = lines.takeLast();
    if (endsWhole)
        *endsWhole = tail.isEmpty();
    // Reading began inside a line.
    if (cut && !lines.isEmpty())
        lines.removeFirst();
    lines.removeAll(QByteArray());
    return lines;
}

bool append(const QString& path, const QByteArray& line, bool endsWhole, QString* error) {
    // An entry left half written by a run that ended on the way gets a line of its own.
    return AppendToFile(path, endsWhole ? line : '\n' + line, Links::Refuse, error);
}

// Rewritten beside the old file and renamed over it, so that a reader finds the one history
// or the other.
bool trim(const QString& path, QList<QByteArray> lines, const QByteArray& line, QString* error) {
    lines = lines.mid(std::max<qsizetype>(0, lines.size() - (KeptAfterTrim - 1)));
    QByteArray text;
    for (const QByteArray& kept : std::as_const(lines))
        text += kept + '\n';
    return WriteFileWhole(path, text + line, error);
}

} // namespace

QString StartName(HistoryEntry::Start start) {
    switch (start) {
    case HistoryEntry::Start::Schedule:
        return QStringLiteral("schedule");
    case HistoryEntry::Start::Unattended:
        return QStringLiteral("unattended");
    case HistoryEntry::Start::Window:
        break;
    }
    return QStringLiteral("window");
}

QString ResultName(HistoryEntry::Result result) {
    for (const auto& [value, name] : ResultNames)
        if (value == result)
            return QString::fromLatin1(name);
    return {};
}

QString SiteWithoutLogin(const QString& site) {
    const qsizetype scheme = site.indexOf(QLatin1String("://"));
    const qsizetype hostStart = scheme < 0 ? 0 : scheme + 3;
    // A password may hold "@" and "/" itself: the host follows the last "@".
    const qsizetype at = site.lastIndexOf(QLatin1Char('@'));
    if (at < hostStart)
        return site;
    return site.left(hostStart) + site.mid(at + 1);
}

QString Destination(const HistoryEntry& entry) {
    QString where = SiteWithoutLogin(entry.site).trimmed();
    if (where.startsWith(QLatin1String("ftp://"), Qt::CaseInsensitive))
        where = where.mid(6);
    while (where.endsWith(QLatin1Char('/')))
        where.chop(1);
    QString directory = entry.directory.trimmed();
    while (directory.startsWith(QLatin1Char('/')))
        directory.remove(0, 1);
    while (directory.endsWith(QLatin1Char('/')))
        directory.chop(1);
    if (!directory.isEmpty())
        where += QLatin1Char('/') + directory;
    return where + QLatin1Char('/') + entry.file;
}

QString HistoryPath() {
    return StateFolder() + QStringLiteral("/history.jsonl");
}

bool AddToHistory(const HistoryEntry& entry, QString* error) {
    const QString path = HistoryPath();
    if (!MakeStateFolder(error))
        return false;
    const QByteArray line = toLine(entry);
    // Runs that finish together take turns. A run that holds on to the lock for longer than
    // a few seconds has hung; the entry is then appended all the same, which is safe as long
    // as the history is not cut back at the same time.
    const FileTurn turn(path + QStringLiteral(".lock"), std::chrono::seconds(5));
    const bool locked = turn.Held();
    bool endsWhole = true;
    bool tooLarge = false;
    const QList<QByteArray> lines = readLines(path, &endsWhole, &tooLarge);
    if (locked && (lines.size() >= HistoryLimit || tooLarge))
        return trim(path, lines, line, error);
    return append(path, line, endsWhole, error);
}

QList<HistoryEntry> ReadHistory() {
    QList<HistoryEntry> entries;
    for (const QByteArray& line : readLines(HistoryPath()))
        if (const std::optional<HistoryEntry> entry = fromLine(line))
            entries.append(*entry);
    return entries;
}

} // namespace platform
