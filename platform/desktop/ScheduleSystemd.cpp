// The schedule as systemd keeps it: a user timer and its service, or a user service that runs
// the watcher, written as unit files and started by the user's manager over the session bus.
// The crontab lines offered where no manager runs keep to the same times of day as the timer.

#include "Schedule.h"
#include "ScheduleInterval.h"
#include "SessionBus.h"
#include "UserFile.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QList>
#include <QThread>
#include <QVariantMap>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace platform {

using namespace schedule;

namespace {

using namespace std::chrono_literals;

const QString Systemd = QStringLiteral("org.freedesktop.systemd1");
const QString ManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString ManagerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString UnitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString TimerInterface = QStringLiteral("org.freedesktop.systemd1.Timer");
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// A look at the state is quick; reloading the manager's units can take a while on a busy
// machine.
constexpr auto ReadTimeout = 5s;
constexpr auto ChangeTimeout = 25s;

const QString NoManager = QStringLiteral("no systemd user manager answers on the session bus");

// The times of day a run starts, every `minutes` minutes from midnight, grouped into hours
// that share the same minutes. A day that is not a whole number of runs starts again at
// midnight, so that the runs keep to the same times every day.
struct RunTimes {
    QList<int> hours;
    QList<int> minutes;
};

QList<RunTimes> runTimes(int minutes) {
    std::array<QList<int>, 24> perHour;
    for (int t = 0; t < Schedule::MaxMinutes; t += minutes)
        perHour[size_t(t / 60)].append(t % 60);
    QList<RunTimes> groups;
    for (int hour = 0; hour < 24; ++hour) {
        const QList<int>& at = perHour[size_t(hour)];
        if (at.isEmpty())
            continue;
        auto same = std::find_if(groups.begin(), groups.end(),
                                 [&at](const RunTimes& g) { return g.minutes == at; });
        if (same != groups.end())
            same->hours.append(hour);
        else
            groups.append({{hour}, at});
    }
    return groups;
}

QString numbers(const QList<int>& values, int width) {
    QStringList out;
    for (const int v : values)
        out << QStringLiteral("%1").arg(v, width, 10, QLatin1Char('0'));
    return out.join(QLatin1Char(','));
}

// What systemd reads between double quotes: backslash escapes, "%" starting a specifier and,
// in a command line, "$" starting a variable. A control character (a line break in a folder's
// name) goes as an escape: written as it is, it would end the line.
QString unitQuoted(const QString& text, bool command) {
    QString quoted = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == u'\\' || c == u'"')
            quoted += u'\\';
        else if (c == u'%' || (command && c == u'$'))
            quoted += c;
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            quoted += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            quoted += c;
    }
    return quoted + u'"';
}

QByteArray timerUnit(int minutes) {
    QString calendar;
    for (const RunTimes& group : runTimes(minutes)) {
        const QString hours =
            group.hours.size() == 24 ? QStringLiteral("*") : numbers(group.hours, 2);
        calendar += QStringLiteral("OnCalendar=*-*-* ") + hours + QLatin1Char(':') +
                    numbers(group.minutes, 2) + QStringLiteral(":00\n");
    }
    return (QStringLiteral("# Written by Vantrell (Tools > Options, or vantrell --schedule), "
                           "which changes\n# and removes it again.\n"
                           "[Unit]\nDescription=") +
            description(minutes) + QStringLiteral("\nDocumentation=man:vantrell(1)\n\n[Timer]\n") +
            calendar +
            QStringLiteral("# A run missed while the machine was off or asleep happens as soon "
                           "as it is back.\nPersistent=true\n"
                           "# Spreads the runs of many machines a little.\n"
                           "RandomizedDelaySec=30\n\n[Install]\nWantedBy=timers.target\n"))
        .toUtf8();
}

// A run from the schedule reads the settings and keeps its state where the program that set it
// up does, even when that was not the user's usual place.
QString runEnvironment() {
    QString environment;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME"}) {
        const QString value = qEnvironmentVariable(name);
        if (QDir::isAbsolutePath(value))
            environment += QStringLiteral("Environment=") +
                           unitQuoted(QString::fromLatin1(name) + QLatin1Char('=') + value, false) +
                           QLatin1Char('\n');
    }
    return environment;
}

QByteArray serviceUnit(const QString& program) {
    const QString environment = runEnvironment();
    return (QStringLiteral("# Written by Vantrell with its timer of the same name.\n"
                           "[Unit]\nDescription=Publish this machine's IP address on the web page "
                           "(Vantrell)\nDocumentation=man:vantrell(1)\n\n[Service]\n"
                           "Type=oneshot\n"
                           "# Nobody watches the run: nothing is drawn, and its messages go to "
                           "the journal.\nEnvironment=QT_QPA_PLATFORM=minimal\n"
                           "# The history tells its runs from \"/A\" typed by hand.\n"
                           "Environment=VANTRELL_STARTED_BY=schedule\n") +
            environment + QStringLiteral("ExecStart=") + unitQuoted(program, true) +
            QStringLiteral(" /A\n# The last resort against a run that hangs.\n"
                           "TimeoutStartSec=10min\n"))
        .toUtf8();
}

QByteArray watcherUnit(const QString& program, int minutes) {
    return (QStringLiteral(
                "# Written by Vantrell (Tools > Options, or vantrell --schedule changes), "
                "which changes\n# and removes it again.\n"
                "[Unit]\nDescription=") +
            watcherDescription(minutes) +
            QStringLiteral(
                "\nDocumentation=man:vantrell(1)\n\n[Service]\n"
                "# The watcher says when it listens, and keeps saying that it is alive.\n"
                "Type=notify\nNotifyAccess=main\n"
                "# Nobody watches it: nothing is drawn, and its messages go to the "
                "journal.\nEnvironment=QT_QPA_PLATFORM=minimal\n"
                "Environment=VANTRELL_STARTED_BY=schedule\n") +
            runEnvironment() + QStringLiteral("ExecStart=") + unitQuoted(program, true) +
            // How often it checks when no event tells of a change.
            QStringLiteral(" --watch %1\n").arg(minutes) +
            QStringLiteral("# A watcher that stops answering, or ends in a failure, is started "
                           "again.\nWatchdogSec=5min\nRestart=on-failure\nRestartSec=30s\n"
                           "# It ends within a second of being told; this is the last resort.\n"
                           "TimeoutStopSec=30s\n\n[Install]\nWantedBy=default.target\n"))
        .toUtf8();
}

// The manager's methods and the properties of its units, through one connection.
class Manager {
public:
    bool answers() {
        if (!m_bus.IsConnected()) {
            m_error = m_bus.Problem();
            return false;
        }
        // The manager answers every peer's ping; nobody else owns its name.
        QDBusMessage ping = QDBusMessage::createMethodCall(
            Systemd, ManagerPath, QStringLiteral("org.freedesktop.DBus.Peer"),
            QStringLiteral("Ping"));
        if (m_bus.Call(ping, ReadTimeout).type() != QDBusMessage::ReplyMessage) {
            m_error = NoManager;
            return false;
        }
        return true;
    }

    std::optional<QList<QVariant>> call(const QString& method, const QList<QVariant>& args,
                                        std::chrono::milliseconds timeout = ChangeTimeout) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(Systemd, ManagerPath, ManagerInterface, method);
        call.setArguments(args);
        const QDBusMessage reply = m_bus.Call(call, timeout);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            m_error = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
            m_errorName = reply.errorName();
            return std::nullopt;
        }
        return reply.arguments();
    }

    QVariantMap properties(const QString& path, const QString& interface) {
        QDBusMessage call = QDBusMessage::createMethodCall(Systemd, path, PropertiesInterface,
                                                           QStringLiteral("GetAll"));
        call.setArguments({interface});
        const QDBusMessage reply = m_bus.Call(call, ReadTimeout);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        QVariantMap map;
        reply.arguments().constFirst().value<QDBusArgument>() >> map;
        return map;
    }

    ScheduleState state() {
        ScheduleState s;
        if (!answers()) {
            s.reason = m_error;
            return s;
        }
        s.kind = ScheduleState::Kind::Off;
        if (const std::optional<QString> path = loadedUnit(Schedule::TimerName())) {
            const QVariantMap unit = properties(*path, UnitInterface);
            const std::optional<int> minutes =
                minutesFromDescription(unit.value(QStringLiteral("Description")).toString());
            if (unit.value(QStringLiteral("ActiveState")).toString() == QLatin1String("active") &&
                minutes) {
                s.kind = ScheduleState::Kind::On;
                s.minutes = *minutes;
                const qulonglong next = properties(*path, TimerInterface)
                                            .value(QStringLiteral("NextElapseUSecRealtime"))
                                            .toULongLong();
                if (next != 0)
                    s.nextRun = QDateTime::fromMSecsSinceEpoch(qint64(next / 1000));
                return s;
            }
        }
        if (const std::optional<QString> path = loadedUnit(Schedule::WatcherName()))
            watcherState(properties(*path, UnitInterface), s);
        return s;
    }

    // The state once the manager has carried out what it was asked: starting and stopping
    // are jobs that it finishes after it has answered.
    ScheduleState settledState(ScheduleState::Kind expected, int minutes,
                               ScheduleKind how = ScheduleKind::Timer) {
        QDeadlineTimer deadline(5s);
        for (;;) {
            ScheduleState s = state();
            if ((s.kind == expected &&
                 (expected != ScheduleState::Kind::On || (s.minutes == minutes && s.how == how))) ||
                deadline.hasExpired() || s.kind == ScheduleState::Kind::Unavailable)
                return s;
            QThread::msleep(50);
        }
    }

    // Whether the unit itself runs, with the interval asked for, once the manager has carried
    // out the start: the other kind may still be in place beside it.
    bool settledUnit(const QString& name, int minutes) {
        QDeadlineTimer deadline(5s);
        for (;;) {
            if (const std::optional<QString> path = loadedUnit(name)) {
                const QVariantMap unit = properties(*path, UnitInterface);
                const QString active = unit.value(QStringLiteral("ActiveState")).toString();
                if ((active == QLatin1String("active") || active == QLatin1String("activating")) &&
                    minutesFromDescription(unit.value(QStringLiteral("Description")).toString()) ==
                        minutes)
                    return true;
            }
            if (deadline.hasExpired())
                return false;
            QThread::msleep(50);
        }
    }

    bool active(const QString& name) {
        const std::optional<QString> path = loadedUnit(name);
        return path && properties(*path, UnitInterface).value(QStringLiteral("ActiveState")) ==
                           QLatin1String("active");
    }

    QString error() const { return m_error; }
    QString errorName() const { return m_errorName; }

private:
    // The unit's object, when the manager has read its file.
    std::optional<QString> loadedUnit(const QString& name) {
        const auto loaded = call(QStringLiteral("LoadUnit"), {name}, ReadTimeout);
        if (!loaded || loaded->isEmpty())
            return std::nullopt;
        QString path = loaded->constFirst().value<QDBusObjectPath>().path();
        if (properties(path, UnitInterface).value(QStringLiteral("LoadState")).toString() !=
            QLatin1String("loaded"))
            return std::nullopt;
        return path;
    }

    // The watcher's service is on while it runs, starts or waits to be started again; enabled
    // but stopped (systemd gave up on it, or someone stopped it), it is on with the reason.
    static void watcherState(const QVariantMap& unit, ScheduleState& s) {
        const std::optional<int> minutes =
            minutesFromDescription(unit.value(QStringLiteral("Description")).toString());
        const QString active = unit.value(QStringLiteral("ActiveState")).toString();
        const bool runs = active == QLatin1String("active") ||
                          active == QLatin1String("activating") ||
                          active == QLatin1String("reloading");
        const bool enabled =
            unit.value(QStringLiteral("UnitFileState")).toString() == QLatin1String("enabled");
        if (!minutes || (!runs && !enabled))
            return;
        s.kind = ScheduleState::Kind::On;
        s.how = ScheduleKind::Watcher;
        s.minutes = *minutes;
        if (!runs)
            s.reason = QStringLiteral("the watcher is not running (%1)").arg(active);
    }

    SessionBus m_bus;
    QString m_error;
    QString m_errorName;
};

// A unit file as it was before a change, to put back when the change does not take. Only an
// ordinary file of ours counts: whatever else stands under the name is replaced.
struct UnitFile {
    QString path;
    std::optional<QByteArray> content;

    explicit UnitFile(QString p)
        : path(std::move(p)), content(ReadOrdinaryFile(path, 64 * 1024, Links::Refuse)) {}
};

// Units are no secret: readable by all, as systemd's own tools write them.
bool writeFile(const QString& path, const QByteArray& bytes, QString& error) {
    QString problem;
    if (WriteFileWhole(path, bytes, &problem,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                           QFileDevice::ReadOther))
        return true;
    error = QStringLiteral("cannot write %1 (%2)").arg(path, problem);
    return false;
}

void restore(const UnitFile& unit) {
    QString ignored;
    if (unit.content)
        writeFile(unit.path, *unit.content, ignored);
    else
        QFile::remove(unit.path);
}

} // namespace

QString Schedule::CrontabLines(int minutes) const {
    // cron runs the line through the shell and ends the command at an unescaped "%".
    QString program = m_program;
    program.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    program = QLatin1Char('\'') + program + QLatin1Char('\'');
    program.replace(QLatin1Char('%'), QLatin1String("\\%"));
    QString lines;
    for (const RunTimes& group : runTimes(minutes)) {
        const QString hours =
            group.hours.size() == 24 ? QStringLiteral("*") : numbers(group.hours, 1);
        lines += numbers(group.minutes, 1) + QLatin1Char(' ') + hours + QStringLiteral(" * * * ") +
                 program + QStringLiteral(" /A\n");
    }
    return lines;
}

ScheduleState ReadSchedule() {
    return Manager().state();
}

namespace {

QString unitPath(const QString& name) {
    return Schedule::UnitFolder() + QLatin1Char('/') + name;
}

// A change of one unit: its files written, read by the manager, the unit enabled and started;
// and, when that does not take, everything put back as it was, the unit running again if it
// ran before.
class UnitChange {
public:
    UnitChange(Manager& manager, QString unit, QList<std::pair<QString, QByteArray>> files)
        : m_manager(manager), m_unit(std::move(unit)), m_files(std::move(files)),
          m_wasThere(QFile::exists(unitPath(m_unit))), m_wasActive(manager.active(m_unit)) {
        for (const auto& file : m_files)
            m_old.emplace_back(unitPath(file.first));
    }

    // False, with the manager's or the file's error, when any step fails: then undone.
    bool apply(QString& error) {
        const QString folder = Schedule::UnitFolder();
        if (!QDir().mkpath(folder)) {
            error = QStringLiteral("cannot make the folder ") + folder;
            return false;
        }
        for (const auto& file : m_files) {
            if (!writeFile(unitPath(file.first), file.second, error)) {
                undo();
                return false;
            }
        }
        const bool done =
            m_manager.call(QStringLiteral("Reload"), {}) &&
            m_manager.call(QStringLiteral("EnableUnitFiles"), {QStringList{m_unit}, false, true}) &&
            m_manager.call(QStringLiteral("RestartUnit"), {m_unit, QStringLiteral("replace")});
        if (!done) {
            error = m_manager.error();
            undo();
        }
        return done;
    }

    void undo() {
        // A unit that was not there before is not left enabled, nor running.
        if (!m_wasThere) {
            m_manager.call(QStringLiteral("StopUnit"), {m_unit, QStringLiteral("replace")});
            m_manager.call(QStringLiteral("DisableUnitFiles"), {QStringList{m_unit}, false});
        }
        for (const UnitFile& file : m_old)
            restore(file);
        m_manager.call(QStringLiteral("Reload"), {});
        if (m_wasActive)
            m_manager.call(QStringLiteral("RestartUnit"), {m_unit, QStringLiteral("replace")});
        else if (m_wasThere)
            m_manager.call(QStringLiteral("StopUnit"), {m_unit, QStringLiteral("replace")});
    }

private:
    Manager& m_manager;
    QString m_unit;
    QList<std::pair<QString, QByteArray>> m_files;
    bool m_wasThere;
    bool m_wasActive;
    std::vector<UnitFile> m_old;
};

// Stops and disables the unit and removes its files; the manager is to reload afterwards.
bool takeAway(Manager& manager, const QString& unit, const QStringList& files, QString& error) {
    // A unit that is not loaded or not enabled is no reason to stop.
    manager.call(QStringLiteral("StopUnit"), {unit, QStringLiteral("replace")});
    manager.call(QStringLiteral("DisableUnitFiles"), {QStringList{unit}, false});
    for (const QString& name : files) {
        const QString path = unitPath(name);
        if (QFile::exists(path) && !QFile::remove(path)) {
            error = QStringLiteral("cannot remove ") + path;
            return false;
        }
    }
    return true;
}

bool takeAwayTimer(Manager& manager, QString& error) {
    return takeAway(manager, Schedule::TimerName(),
                    {Schedule::TimerName(), Schedule::ServiceName()}, error);
}

bool takeAwayWatcher(Manager& manager, QString& error) {
    return takeAway(manager, Schedule::WatcherName(), {Schedule::WatcherName()}, error);
}

// Once the new kind runs, the other kind goes, if it was set up at all.
bool takeAwayOther(Manager& manager, ScheduleKind kept, QString& error) {
    const bool watcher = kept == ScheduleKind::Watcher;
    if (!QFile::exists(unitPath(watcher ? Schedule::TimerName() : Schedule::WatcherName())))
        return true;
    if (!(watcher ? takeAwayTimer(manager, error) : takeAwayWatcher(manager, error)))
        return false;
    if (!manager.call(QStringLiteral("Reload"), {})) {
        error = manager.error();
        return false;
    }
    return true;
}

} // namespace

bool Schedule::Set(int minutes, ScheduleKind kind) {
    m_error.clear();
    if (!validMinutes(minutes)) {
        m_error = outOfRange();
        return false;
    }
    Manager manager;
    // Without a manager to run them the files would do nothing: none are written.
    if (!manager.answers()) {
        m_error = manager.error();
        return false;
    }
    // The new kind runs before the old one goes, so that a refusal leaves the old one running;
    // one the manager answered for but did not start is taken back the same way.
    const bool watcher = kind == ScheduleKind::Watcher;
    const QString unit = watcher ? WatcherName() : TimerName();
    UnitChange change(
        manager, unit,
        watcher ? QList<std::pair<QString, QByteArray>>{{WatcherName(),
                                                         watcherUnit(m_program, minutes)}}
                : QList<std::pair<QString, QByteArray>>{{ServiceName(), serviceUnit(m_program)},
                                                        {TimerName(), timerUnit(minutes)}});
    if (!change.apply(m_error))
        return false;
    if (!manager.settledUnit(unit, minutes)) {
        change.undo();
        m_error = QStringLiteral("systemd did not start %1").arg(unit);
        return false;
    }
    if (!takeAwayOther(manager, kind, m_error))
        return false;
    const ScheduleState now = manager.settledState(ScheduleState::Kind::On, minutes, kind);
    if (now.kind == ScheduleState::Kind::On && now.minutes == minutes && now.how == kind)
        return true;
    m_error = now.kind == ScheduleState::Kind::Unavailable
                  ? now.reason
                  : QStringLiteral("systemd did not start %1").arg(unit);
    return false;
}

bool Schedule::Remove() {
    m_error.clear();
    Manager manager;
    if (!manager.answers()) {
        // Without a manager nothing of ours can be running, unless files of ours say that one
        // ran them and may again.
        if (!QFile::exists(unitPath(TimerName())) && !QFile::exists(unitPath(WatcherName())))
            return true;
        m_error = manager.error();
        return false;
    }
    if (!takeAwayTimer(manager, m_error) || !takeAwayWatcher(manager, m_error))
        return false;
    if (!manager.call(QStringLiteral("Reload"), {})) {
        m_error = manager.error();
        return false;
    }
    const ScheduleState now = manager.settledState(ScheduleState::Kind::Off, 0);
    if (now.kind == ScheduleState::Kind::Off)
        return true;
    m_error = now.kind == ScheduleState::Kind::Unavailable
                  ? now.reason
                  : QStringLiteral("systemd still runs %1")
                        .arg(now.how == ScheduleKind::Watcher ? WatcherName() : TimerName());
    return false;
}

} // namespace platform
