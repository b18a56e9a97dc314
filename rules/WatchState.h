#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace platform {

// What the watcher ("vantrell --watch") is doing, as it tells --status and the notification
// area's icon: kept in the state folder, written whole on every change, so that whoever reads
// it never sees half of it and never has to guess.
struct WatchState {
    enum class Kind { Working, Published, Failing, Idle };

    qint64 pid = 0;            // the watcher's process
    QDateTime since;           // when it started
    QDateTime lastCheck;       // when it last looked at the address
    QDateTime lastEvent;       // when it last heard of something that may mean a new address
    QString lastEventKind;     // what that was: WatchEventName() (rules/WatchPlan.h)
    QDateTime nextSafetyCheck; // when it looks again if nothing happens
    Kind state = Kind::Idle;
    QString message; // failing: the one-line reason; otherwise what it did last
    QString address; // the address the page shows, as far as it knows

    // ${XDG_STATE_HOME:-~/.local/state}/vantrell/watch.json on Linux.
    static QString Path();
    // What was kept; nothing when there is no record or it is damaged.
    static std::optional<WatchState> Load();
    // Keeps it whole or not at all. False, with the reason, when it could not be written.
    bool Save(QString* error = nullptr) const;

    // The record as it is kept: JSON, times in ISO 8601 UTC, and back.
    QByteArray ToJson() const;
    static std::optional<WatchState> FromJson(const QByteArray& json);

    // "Watching since ...: last check ..., last event ... (network change), next safety check
    // ..." in local time, for --status.
    QString Summary() const;
};

// "working", "published", "failing", "idle".
QString WatchStateName(WatchState::Kind kind);

} // namespace platform
