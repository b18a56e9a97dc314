#pragma once

#include <QDateTime>
#include <QString>

namespace platform {

// How the schedule publishes: a run every so many minutes, or a watcher that publishes as soon
// as the address may have changed and checks every so many minutes as well, for what no event
// tells.
enum class ScheduleKind { Timer, Watcher };

// The schedule that publishes the page unattended, as the system reports it at the moment it
// is asked: never what the program remembers having set.
struct ScheduleState {
    enum class Kind {
        Off,        // the system runs no schedule of ours
        On,         // the system runs one: every `minutes` minutes, or the watcher
        Unavailable // nothing here can run one (no systemd user manager, no Task Scheduler)
    };
    Kind kind = Kind::Unavailable;
    ScheduleKind how = ScheduleKind::Timer; // On: which of the two runs
    int minutes = 0;                        // On: the interval, or the watcher's safety check
    QDateTime nextRun; // On, a timer: the next run the system has planned; invalid when none
    // Unavailable: why, as one sentence without a full stop. On, a watcher: why it does not
    // run now, though it is set up to (systemd gave up on it, say). Else empty.
    QString reason;
};

// The schedule's state, asked of the system (for --status, the Options dialog). Needs an
// application object; blocks for at most a few seconds when the system does not answer.
ScheduleState ReadSchedule();

// Puts in place, changes and removes the schedule of our own: a systemd user timer and service,
// or a user service that runs the watcher, under ${XDG_CONFIG_HOME:-~/.config}/systemd/user/ on
// Linux (ScheduleSystemd.cpp); a Task Scheduler task on Windows (ScheduleWindows.cpp), repeated
// or at log-on. Only one of the two is in place at a time. The units the package ships are
// left alone.
class Schedule {
public:
    static constexpr int MinMinutes = 5;
    static constexpr int MaxMinutes = 24 * 60;
    static constexpr int OfferedMinutes = 15;

    // program: the full path of the program that the schedule runs with "/A" or "--watch".
    explicit Schedule(QString program);

    ScheduleState State() const;

    // Puts the schedule in place (or changes its interval or kind) and reads it back; the other
    // kind, if it was in place, is removed once this one runs. False, with LastError(), when it
    // is not in place afterwards; what ran before then stays as it was.
    bool Set(int minutes, ScheduleKind kind = ScheduleKind::Timer);
    // Stops and removes the schedule, of either kind. True when none of ours runs afterwards.
    bool Remove();
    QString LastError() const { return m_error; }

    // The crontab lines that run the program every `minutes` minutes, for machines where
    // nothing of ours can run it (several lines when an hour is not a whole number of runs and
    // a day is not either). One per line, each ending in a newline. Empty on Windows, which
    // has no cron.
    QString CrontabLines(int minutes) const;

    // The timer and service files written for the schedule, and the watcher's service (Linux);
    // the folder is empty where the user has no home.
    static QString UnitFolder();
    static QString TimerName();
    static QString ServiceName();
    static QString WatcherName();

private:
    QString m_program;
    QString m_error;
};

} // namespace platform
