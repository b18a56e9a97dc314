#pragma once

#include <QDateTime>
#include <QString>

namespace platform {

// The schedule that publishes the page unattended, as the system reports it at the moment it
// is asked: never what the program remembers having set.
struct ScheduleState {
    enum class Kind {
        Off,        // the system runs no schedule of ours
        On,         // the system runs it every `minutes` minutes
        Unavailable // nothing here can run one (no systemd user manager, no Task Scheduler)
    };
    Kind kind = Kind::Unavailable;
    int minutes = 0;   // On: the interval
    QDateTime nextRun; // On: the next run the system has planned; invalid when it said none
    QString reason;    // Unavailable: why, as one sentence without a full stop; else empty
};

// The schedule's state, asked of the system (for --status, the Options dialog). Needs an
// application object; blocks for at most a few seconds when the system does not answer.
ScheduleState ReadSchedule();

// Puts in place, changes and removes the schedule of our own: a systemd user timer and service
// under ${XDG_CONFIG_HOME:-~/.config}/systemd/user/ on Linux (ScheduleSystemd.cpp), a Task
// Scheduler task on Windows (ScheduleWindows.cpp). The units the package ships are left alone.
class Schedule {
public:
    static constexpr int MinMinutes = 5;
    static constexpr int MaxMinutes = 24 * 60;
    static constexpr int OfferedMinutes = 15;

    // program: the full path of the program that the schedule runs with "/A".
    explicit Schedule(QString program);

    ScheduleState State() const;

    // Puts the schedule in place (or changes its interval) and reads it back. False, with
    // LastError(), when it is not in place afterwards; nothing is left half-done then.
    bool Set(int minutes);
    // Stops and removes the schedule. True when none of ours runs afterwards.
    bool Remove();
    QString LastError() const { return m_error; }

    // The crontab lines that run the program every `minutes` minutes, for machines where
    // nothing of ours can run it (several lines when an hour is not a whole number of runs and
    // a day is not either). One per line, each ending in a newline. Empty on Windows, which
    // has no cron.
    QString CrontabLines(int minutes) const;

    // The timer and service files written for the schedule (Linux); the folder is empty where
    // the user has no home.
    static QString UnitFolder();
    static QString TimerName();
    static QString ServiceName();

private:
    QString m_program;
    QString m_error;
};

} // namespace platform
