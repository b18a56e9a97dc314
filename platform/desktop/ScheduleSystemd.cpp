// The schedule as systemd keeps it: a user timer and its service, written as unit files and
// started by the user's manager over the session bus. The crontab lines offered where no manager
// runs keep to the same times of day as the timer.

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

QByteArray serviceUnit(const QString& program) {
    QString environment;
    // A run from the schedule reads the settings and keeps its state where the program that set
    // it up does, even when that was not the user's usual place.
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME"}) {
        const QString value = qEnvironmentVariable(name);
        if (QDir::isAbsolutePath(value))
            environment += QStringLiteral("Environment=") +
                           unitQuoted(QString::fromLatin1(name) + QLatin1Char('=') + value, false) +
                           QLatin1Char('\n');
    }
    return (QStringLiteral("# Written by Vantrell with its timer of the same name.\n"
                           "[Unit]\nDescription=Publish this machine's IP address on the web page "
                           "(Vantrell)\nDocumentation=man:vantrell(1)\n\n[Service]\n"
                           "Type=oneshot\n"
                           "# Nobody watches the run: nothing is drawn, and its messages go to "
                           "the journal.\nEnvironment=QT_QPA_PLATFORM=minimal\n") +
            environment + QStringLiteral("ExecStart=") + unitQuoted(program, true) +
            QStringLiteral(" /A\n# The last resort against a run that hangs.\n"
                           "TimeoutStartSec=10min\n"))
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
        const auto loaded = call(QStringLiteral("LoadUnit"), {Schedule::TimerName()}, ReadTimeout);
        if (!loaded || loaded->isEmpty())
            return s;
        const QString path = loaded->constFirst().value<QDBusObjectPath>().path();
        const QVariantMap unit = properties(path, UnitInterface);
        if (unit.value(QStringLiteral("LoadState")).toString() != QLatin1String("loaded") ||
            unit.value(QStringLiteral("ActiveState")).toString() != QLatin1String("active"))
            return s;
        const std::optional<int> minutes =
            minutesFromDescription(unit.value(QStringLiteral("Description")).toString());
        if (!minutes)
            return s;
        s.kind = ScheduleState::Kind::On;
        s.minutes = *minutes;
        const qulonglong next = properties(path, TimerInterface)
                                    .value(QStringLiteral("NextElapseUSecRealtime"))
                                    .toULongLong();
        if (next != 0)
            s.nextRun = QDateTime::fromMSecsSinceEpoch(qint64(next / 1000));
        return s;
    }

    // The state once the manager has carried out what it was asked: starting and stopping
    // are jobs that it finishes after it has answered.
    ScheduleState settledState(ScheduleState::Kind expected, int minutes) {
        QDeadlineTimer deadline(5s);
        for (;;) {
            ScheduleState s = state();
            if ((s.kind == expected &&
                 (expected != ScheduleState::Kind::On || s.minutes == minutes)) ||
                deadline.hasExpired() || s.kind == ScheduleState::Kind::Unavailable)
                return s;
            QThread::msleep(50);
        }
    }

    QString error() const { return m_error; }
    QString errorName() const { return m_errorName; }

private:
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

bool Schedule::Set(int minutes) {
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
    const QString folder = UnitFolder();
    if (folder.isEmpty()) {
        m_error = QStringLiteral("the user has no home folder to keep its units in (HOME is not "
                                 "set)");
        return false;
    }
    if (!QDir().mkpath(folder)) {
        m_error = QStringLiteral("cannot make the folder ") + folder;
        return false;
    }
    const UnitFile oldTimer(folder + QLatin1Char('/') + TimerName());
    const UnitFile oldService(folder + QLatin1Char('/') + ServiceName());
    const bool wasOn = manager.state().kind == ScheduleState::Kind::On;
    // What the change started goes, and what ran before runs again.
    const auto undo = [&] {
        if (!wasOn) {
            manager.call(QStringLiteral("StopUnit"), {TimerName(), QStringLiteral("replace")});
            manager.call(QStringLiteral("DisableUnitFiles"), {QStringList{TimerName()}, false});
        }
        restore(oldTimer);
        restore(oldService);
        manager.call(QStringLiteral("Reload"), {});
        if (wasOn)
            manager.call(QStringLiteral("RestartUnit"), {TimerName(), QStringLiteral("replace")});
    };
    if (!writeFile(oldService.path, serviceUnit(m_program), m_error) ||
        !writeFile(oldTimer.path, timerUnit(minutes), m_error)) {
        undo();
        return false;
    }
    const bool done =
        manager.call(QStringLiteral("Reload"), {}) &&
        manager.call(QStringLiteral("EnableUnitFiles"), {QStringList{TimerName()}, false, true}) &&
        manager.call(QStringLiteral("RestartUnit"), {TimerName(), QStringLiteral("replace")});
    if (!done) {
        m_error = manager.error();
        undo();
        return false;
    }
    const ScheduleState now = manager.settledState(ScheduleState::Kind::On, minutes);
    if (now.kind == ScheduleState::Kind::On && now.minutes == minutes)
        return true;
    m_error = now.kind == ScheduleState::Kind::Unavailable
                  ? now.reason
                  : QStringLiteral("systemd did not start %1").arg(TimerName());
    undo();
    return false;
}

bool Schedule::Remove() {
    m_error.clear();
    const QString folder = UnitFolder();
    const QString timer = folder + QLatin1Char('/') + TimerName();
    const QString service = folder + QLatin1Char('/') + ServiceName();
    Manager manager;
    if (!manager.answers()) {
        // Without a manager nothing of ours can be running, unless files of ours say that one
        // ran them and may again.
        if (!QFile::exists(timer))
            return true;
        m_error = manager.error();
        return false;
    }
    // A timer that is not loaded or not enabled is no reason to stop.
    manager.call(QStringLiteral("StopUnit"), {TimerName(), QStringLiteral("replace")});
    manager.call(QStringLiteral("DisableUnitFiles"), {QStringList{TimerName()}, false});
    for (const QString& path : {timer, service}) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            m_error = QStringLiteral("cannot remove ") + path;
            return false;
        }
    }
    if (!manager.call(QStringLiteral("Reload"), {})) {
        m_error = manager.error();
        return false;
    }
    const ScheduleState now = manager.settledState(ScheduleState::Kind::Off, 0);
    if (now.kind == ScheduleState::Kind::Off)
        return true;
    m_error = now.kind == ScheduleState::Kind::Unavailable
                  ? now.reason
                  : QStringLiteral("systemd still runs %1").arg(TimerName());
    return false;
}

} // namespace platform
