#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace platform {

// What the watcher last said about itself, in ${XDG_STATE_HOME:-~/.local/state}/vantrell/
// watch.json: read by whoever shows it (--status, the icon in the notification area), never
// guessed.
struct WatchState {
    qint64 pid = 0;
    QDateTime since;           // when it started
    QDateTime lastCheck;       // when it last looked at the address
    QDateTime lastEvent;       // when something last told it that the address may have changed
    QString lastEventKind;     // what told it
    QDateTime nextSafetyCheck; // when it looks again if nothing tells it sooner
    QString state;             // "working", "published", "failing" or "idle"
    QString message;           // one line on what it did last, or why it fails
    QString address;           // the address it last published or found
};

// The watcher's state as the file holds it now; nothing when there is no file or it is not
// one the watcher wrote.
std::optional<WatchState> ReadWatchState();

} // namespace platform
