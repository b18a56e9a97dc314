#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace platform {

// One publish attempt as the history keeps it. It never holds a user name or password.
struct HistoryEntry {
    // Unattended: "/A" typed by hand or by a scheduler of the user's own; Schedule: the
    // program's own timer or watcher.
    enum class Start { Window, Schedule, Unattended };
    // NotSeen: the page is on the server, but visitors at the page's address see something
    // else.
    enum class Result { Published, Unchanged, Failed, Cancelled, NotSeen };

    QDateTime time; // when the attempt ended
    Start start = Start::Window;
    QString address; // empty when none was found
    QString source;  // where the address came from, as the settings name it ("local", "web")
    QString site;    // as typed, without any login typed into it
    QString directory;
    QString file;
    Result result = Result::Failed;
    QString message; // why it failed, was cancelled or is not seen, one line
    // The page's IPv6 marker: the address that replaced it, or why it was left empty (one
    // sentence that names the marker); both empty when the page has no such marker.
    QString address6{};
    QString ipv6Note{};
    // Where visitors open the page, when it was looked at there; empty when it was not.
    QString pageUrl{};
    // The hex SHA-256 of the bytes uploaded, so that the page is known again where it shows up
    // later; empty when the page is not looked at.
    QByteArray pageHash{};
};

// The words the history file and --status use: "window", "schedule"; "published",
// "unchanged", "failed", "cancelled", "not seen".
QString StartName(HistoryEntry::Start start);
QString ResultName(HistoryEntry::Result result);

// The site with a login typed into it ("user:password@host") left out.
QString SiteWithoutLogin(const QString& site);

// Where the page went, as a person reads it: "ftp.example.org/www/index.htm" (a scheme other
// than plain FTP is kept: "sftp://host/www/index.htm").
QString Destination(const HistoryEntry& entry);

// Where the history is kept: ${XDG_STATE_HOME:-~/.local/state}/vantrell/history.jsonl on Linux,
// one entry a line, oldest first.
QString HistoryPath();

// How many entries the history keeps at most; the oldest go first.
inline constexpr int HistoryLimit = 300;

// Adds an entry. Runs that add at the same time take turns, and a run that ends half way
// through an entry damages that entry alone. False, with the reason, when it could not be kept.
bool AddToHistory(const HistoryEntry& entry, QString* error = nullptr);

// The entries kept, oldest first. A damaged entry is left out.
QList<HistoryEntry> ReadHistory();

} // namespace platform
