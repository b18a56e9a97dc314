// What the schedule is on every system. The scheduler itself is spoken to by one of
// ScheduleSystemd.cpp and ScheduleWindows.cpp, whichever the build is for.

#include "Schedule.h"
#include "ScheduleInterval.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#if !defined(Q_OS_WIN)
#include <pwd.h>
#include <unistd.h>
#endif

#include <utility>

namespace platform {

namespace schedule {

bool validMinutes(int minutes) {
    return minutes >= Schedule::MinMinutes && minutes <= Schedule::MaxMinutes;
}

QString description(int minutes) {
    return QStringLiteral("Publish this machine's IP address every %1 minutes (Vantrell)")
        .arg(minutes);
}

QString watcherDescription(int minutes) {
    return QStringLiteral("Publish this machine's IP address as soon as it changes, checking "
                          "every %1 minutes as well (Vantrell)")
        .arg(minutes);
}

std::optional<int> minutesFromDescription(const QString& text) {
    static const QRegularExpression every(QStringLiteral("every (\\d+) minutes"));
    const QRegularExpressionMatch match = every.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).toInt();
}

QString outOfRange() {
    return QStringLiteral("the interval must be from %1 to %2 minutes")
        .arg(Schedule::MinMinutes)
        .arg(Schedule::MaxMinutes);
}

} // namespace schedule

Schedule::Schedule(QString program) : m_program(std::move(program)) {}

ScheduleState Schedule::State() const {
    return ReadSchedule();
}

QString Schedule::TimerName() {
    return QStringLiteral("vantrell-schedule.timer");
}

QString Schedule::ServiceName() {
    return QStringLiteral("vantrell-schedule.service");
}

QString Schedule::WatcherName() {
    return QStringLiteral("vantrell-watch.service");
}

QString Schedule::UnitFolder() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(config)) {
        QString home = qEnvironmentVariable("HOME");
#if !defined(Q_OS_WIN)
        // Without HOME (a bare cron or su environment) the toolkit's home is "/": the user
        // manager looks in the home the user database gives, and so do we.
        if (!QDir::isAbsolutePath(home)) {
            const passwd* user = ::getpwuid(::getuid());
            home = user && user->pw_dir ? QFile::decodeName(user->pw_dir) : QString();
        }
#endif
        if (!QDir::isAbsolutePath(home) || QDir(home).isRoot())
            return {};
        config = home + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/systemd/user");
}

} // namespace platform
