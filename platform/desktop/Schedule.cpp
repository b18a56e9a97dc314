#include "Schedule.h"

#include <QDir>
#include <QList>
#include <QRegularExpression>

#include <algorithm>

#include <array>
#include <optional>
#include <utility>

#if defined(Q_OS_WIN)
#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>
#else
#include "SessionBus.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QFile>
#include <QSaveFile>
#include <QThread>
#include <QVariantMap>

#include <chrono>
#endif

namespace platform {

namespace {

#if !defined(Q_OS_WIN)
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
#endif

bool validMinutes(int minutes) {
    return minutes >= Schedule::MinMinutes && minutes <= Schedule::MaxMinutes;
}

// The interval goes in the schedule's description, where the system keeps it and shows it to
// whoever lists the timers or tasks; it is read back from there.
QString description(int minutes) {
    return QStringLiteral("Publish this machine's IP address every %1 minutes (Vantrell)")
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

} // namespace

Schedule::Schedule(QString program) : m_program(std::move(program)) {}

QString Schedule::CrontabLines(int minutes) const {
#if defined(Q_OS_WIN)
    Q_UNUSED(minutes);
    return QString();
#else
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
#endif
}

QString Schedule::TimerName() {
    return QStringLiteral("vantrell-schedule.timer");
}

QString Schedule::ServiceName() {
    return QStringLiteral("vantrell-schedule.service");
}

QString Schedule::UnitFolder() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/systemd/user");
}

#if defined(Q_OS_WIN)

namespace {

// The task lives in the Task Scheduler's root folder under the user's own account, and runs
// only while the user is logged on (no password is stored).
const QString TaskName = QStringLiteral("Vantrell publish");

QString systemMessage(HRESULT hr) {
    // The Task Scheduler's own codes are not in the system's message table.
    if (hr == SCHED_E_SERVICE_NOT_RUNNING)
        return QStringLiteral("the Task Scheduler service is not running");
    wchar_t* text = nullptr;
    const DWORD size = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(hr), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString message = size ? QString::fromWCharArray(text, int(size)).trimmed()
                           : QStringLiteral("error 0x%1").arg(quint32(hr), 8, 16, QLatin1Char('0'));
    if (text)
        LocalFree(text);
    if (message.endsWith(QLatin1Char('.')))
        message.chop(1);
    return message;
}

// One reference to a COM object, released when it goes.
template <typename T> class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (m_p)
            m_p->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    T** out() { return &m_p; }
    void** outVoid() { return reinterpret_cast<void**>(&m_p); }

private:
    T* m_p = nullptr;
};

class Bstr {
public:
    explicit Bstr(const QString& text)
        : m_b(SysAllocString(reinterpret_cast<const OLECHAR*>(text.utf16()))) {}
    Bstr() = default;
    ~Bstr() { SysFreeString(m_b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    operator BSTR() const { return m_b; }
    BSTR* out() { return &m_b; }
    QString text() const {
        return m_b ? QString::fromWCharArray(m_b, int(SysStringLen(m_b))) : QString();
    }

private:
    BSTR m_b = nullptr;
};

// COM for the calls made here. The window's thread has it already; that is no failure.
class ComScope {
public:
    ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT m_hr;
};

class Scheduler {
public:
    // False, with error(), when the Task Scheduler cannot be reached.
    bool connect() {
        VARIANT none;
        VariantInit(&none);
        return check(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_ITaskService, m_service.outVoid())) &&
               check(m_service->Connect(none, none, none, none)) &&
               check(m_service->GetFolder(Bstr(QStringLiteral("\\")), m_root.out()));
    }

    ScheduleState state() {
        ScheduleState s;
        if (!connect()) {
            s.reason = QStringLiteral("the Task Scheduler does not answer (%1)").arg(m_error);
            return s;
        }
        s.kind = ScheduleState::Kind::Off;
        ComRef<IRegisteredTask> task;
        if (FAILED(m_root->GetTask(Bstr(TaskName), task.out())))
            return s;
        VARIANT_BOOL enabled = VARIANT_FALSE;
        ComRef<ITaskDefinition> definition;
        ComRef<IRegistrationInfo> info;
        Bstr text;
        if (FAILED(task->get_Enabled(&enabled)) || enabled != VARIANT_TRUE ||
            FAILED(task->get_Definition(definition.out())) ||
            FAILED(definition->get_RegistrationInfo(info.out())) ||
            FAILED(info->get_Description(text.out())))
            return s;
        const std::optional<int> minutes = minutesFromDescription(text.text());
        if (!minutes)
            return s;
        s.kind = ScheduleState::Kind::On;
        s.minutes = *minutes;
        DATE next = 0;
        SYSTEMTIME at{};
        if (SUCCEEDED(task->get_NextRunTime(&next)) && next != 0 &&
            VariantTimeToSystemTime(next, &at))
            s.nextRun = QDateTime(QDate(at.wYear, at.wMonth, at.wDay),
                                  QTime(at.wHour, at.wMinute, at.wSecond), Qt::LocalTime);
        return s;
    }

    bool set(int minutes, const QString& program) {
        if (!connect())
            return false;
        ComRef<ITaskDefinition> task;
        ComRef<IRegistrationInfo> info;
        ComRef<ITaskSettings> settings;
        ComRef<IPrincipal> principal;
        ComRef<ITriggerCollection> triggers;
        ComRef<ITrigger> trigger;
        ComRef<IDailyTrigger> daily;
        ComRef<IActionCollection> actions;
        ComRef<IAction> action;
        ComRef<IExecAction> exec;
        // Every day from midnight, repeated every `minutes` minutes until the next midnight:
        // the runs keep to the same times every day, like the systemd timer's.
        const QString midnight = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) +
                                 QStringLiteral("T00:00:00");
        if (!check(m_service->NewTask(0, task.out())) ||
            !check(task->get_RegistrationInfo(info.out())) ||
            !check(info->put_Description(Bstr(description(minutes)))) ||
            !check(info->put_Author(Bstr(QStringLiteral("Vantrell")))) ||
            !check(task->get_Settings(settings.out())) ||
            // A run missed while the machine was off or asleep happens as soon as it can.
            !check(settings->put_StartWhenAvailable(VARIANT_TRUE)) ||
            !check(settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE)) ||
            !check(settings->put_StopIfGoingOnBatteries(VARIANT_FALSE)) ||
            !check(settings->put_MultipleInstances(TASK_INSTANCES_IGNORE_NEW)) ||
            !check(settings->put_ExecutionTimeLimit(Bstr(QStringLiteral("PT10M")))) ||
            !check(task->get_Principal(principal.out())) ||
            !check(principal->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN)) ||
            !check(task->get_Triggers(triggers.out())) ||
            !check(triggers->Create(TASK_TRIGGER_DAILY, trigger.out())) ||
            !check(trigger->QueryInterface(IID_IDailyTrigger, daily.outVoid())) ||
            !check(daily->put_StartBoundary(Bstr(midnight))) ||
            !check(daily->put_DaysInterval(1)) ||
            !check(daily->put_RandomDelay(Bstr(QStringLiteral("PT30S")))))
            return false;
        if (minutes < Schedule::MaxMinutes) {
            ComRef<IRepetitionPattern> repetition;
            if (!check(trigger->get_Repetition(repetition.out())) ||
                !check(repetition->put_Interval(Bstr(QStringLiteral("PT%1M").arg(minutes)))) ||
                !check(repetition->put_Duration(Bstr(QStringLiteral("P1D")))))
                return false;
        }
        VARIANT none;
        VariantInit(&none);
        ComRef<IRegisteredTask> registered;
        return check(task->get_Actions(actions.out())) &&
               check(actions->Create(TASK_ACTION_EXEC, action.out())) &&
               check(action->QueryInterface(IID_IExecAction, exec.outVoid())) &&
               check(exec->put_Path(Bstr(QDir::toNativeSeparators(program)))) &&
               check(exec->put_Arguments(Bstr(QStringLiteral("/A")))) &&
               check(m_root->RegisterTaskDefinition(
                   Bstr(TaskName), task.get(), TASK_CREATE_OR_UPDATE, none, none,
                   TASK_LOGON_INTERACTIVE_TOKEN, none, registered.out()));
    }

    bool remove() {
        if (!connect())
            return false;
        const HRESULT hr = m_root->DeleteTask(Bstr(TaskName), 0);
        return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || check(hr);
    }

    QString error() const { return m_error; }

private:
    bool check(HRESULT hr) {
        if (SUCCEEDED(hr))
            return true;
        m_error = systemMessage(hr);
        return false;
    }

    ComScope m_com;
    ComRef<ITaskService> m_service;
    ComRef<ITaskFolder> m_root;
    QString m_error;
};

} // namespace

ScheduleState ReadSchedule() {
    return Scheduler().state();
}

ScheduleState Schedule::State() const {
    return ReadSchedule();
}

bool Schedule::Set(int minutes) {
    m_error.clear();
    if (!validMinutes(minutes)) {
        m_error = outOfRange();
        return false;
    }
    Scheduler scheduler;
    if (!scheduler.set(minutes, m_program)) {
        m_error = scheduler.error();
        return false;
    }
    const ScheduleState now = scheduler.state();
    if (now.kind == ScheduleState::Kind::On && now.minutes == minutes)
        return true;
    m_error = QStringLiteral("the Task Scheduler did not keep the task");
    return false;
}

bool Schedule::Remove() {
    m_error.clear();
    Scheduler scheduler;
    if (!scheduler.remove()) {
        m_error = scheduler.error();
        return false;
    }
    return true;
}

#else

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

// What systemd reads between double quotes: backslash escapes, "%" starting a specifier and,
// in a command line, "$" starting a variable.
QString unitQuoted(QString text, bool command) {
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('"'), QLatin1String("\\\""));
    text.replace(QLatin1Char('%'), QLatin1String("%%"));
    if (command)
        text.replace(QLatin1Char('$'), QLatin1String("$$"));
    return QLatin1Char('"') + text + QLatin1Char('"');
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

// A unit file as it was before a change, to put back when the change does not take.
struct UnitFile {
    QString path;
    std::optional<QByteArray> content;

    explicit UnitFile(QString p) : path(std::move(p)) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            content = file.readAll();
    }
};

bool writeFile(const QString& path, const QByteArray& bytes, QString& error) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    error = QStringLiteral("cannot write %1 (%2)").arg(path, file.errorString());
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

ScheduleState ReadSchedule() {
    return Manager().state();
}

ScheduleState Schedule::State() const {
    return ReadSchedule();
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
    if (!QDir().mkpath(folder)) {
        m_error = QStringLiteral("cannot make the folder ") + folder;
        return false;
    }
    const UnitFile oldTimer(folder + QLatin1Char('/') + TimerName());
    const UnitFile oldService(folder + QLatin1Char('/') + ServiceName());
    const auto undo = [&] {
        restore(oldTimer);
        restore(oldService);
        manager.call(QStringLiteral("Reload"), {});
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

#endif

} // namespace platform
