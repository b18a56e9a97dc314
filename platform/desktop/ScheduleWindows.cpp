// The schedule as the Windows Task Scheduler keeps it: one task, spoken to over COM, that
// either publishes every so many minutes or starts the watcher at log-on.

#include "Schedule.h"
#include "ScheduleInterval.h"

#include <QDir>
#include <QList>
#include <QRegularExpression>

#include <algorithm>

#include <array>
#include <optional>
#include <utility>

#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>

// MinGW-w64's taskschd.h (version 10, the cross-build's) stops before the log-on trigger's own
// interface. Its layout is Windows' own: the trigger's methods, then these four.
#if !defined(__ILogonTrigger_INTERFACE_DEFINED__)
#define __ILogonTrigger_INTERFACE_DEFINED__
struct ILogonTrigger : public ITrigger {
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR* user) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};
static const IID IID_ILogonTrigger = {
    0x72dade38, 0xfae4, 0x4b3e, {0xba, 0xf4, 0x5d, 0x00, 0x9a, 0xf0, 0x2b, 0x1c}};
#endif

namespace platform {

using namespace schedule;

namespace {

// The task lives in the Task Scheduler's root folder under the user's own account, and runs
// only while the user is logged on (no password is stored).
const QString TaskName = QStringLiteral("Vantrell publish");
const QString WatchTaskName = QStringLiteral("Vantrell watch");

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
        // Connected once for all that one Scheduler is asked.
        if (m_root.get())
            return true;
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
            return watcherState(s);
        VARIANT_BOOL enabled = VARIANT_FALSE;
        ComRef<ITaskDefinition> definition;
        ComRef<IRegistrationInfo> info;
        Bstr text;
        if (FAILED(task->get_Enabled(&enabled)) || enabled != VARIANT_TRUE ||
            FAILED(task->get_Definition(definition.out())) ||
            FAILED(definition->get_RegistrationInfo(info.out())) ||
            FAILED(info->get_Description(text.out())))
            return watcherState(s);
        const std::optional<int> minutes = minutesFromDescription(text.text());
        if (!minutes)
            return watcherState(s);
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
        ComRef<ITaskSettings> settings;
        ComRef<ITriggerCollection> triggers;
        ComRef<ITrigger> trigger;
        ComRef<IDailyTrigger> daily;
        // Every day from midnight, repeated every `minutes` minutes until the next midnight:
        // the runs keep to the same times every day, like the systemd timer's.
        const QString midnight = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) +
                                 QStringLiteral("T00:00:00");
        if (!newTask(description(minutes), task, settings, triggers) ||
            // A run missed while the machine was off or asleep happens as soon as it can.
            !check(settings->put_StartWhenAvailable(VARIANT_TRUE)) ||
            !check(settings->put_ExecutionTimeLimit(Bstr(QStringLiteral("PT10M")))) ||
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
        ComRef<IRegisteredTask> registered;
        return registerTask(TaskName, task.get(), program, QStringLiteral("/A"), registered);
    }

    // The watcher, started at the user's log-on and at once, and again when it fails.
    bool setWatcher(int minutes, const QString& program) {
        if (!connect())
            return false;
        stopWatcher();
        ComRef<ITaskDefinition> task;
        ComRef<ITaskSettings> settings;
        ComRef<ITriggerCollection> triggers;
        ComRef<ITrigger> trigger;
        ComRef<ILogonTrigger> logon;
        // A log-on trigger without a user fires for everyone, which only an administrator may
        // set up.
        const QString user = qEnvironmentVariable("USERDOMAIN") + QLatin1Char('\\') +
                             qEnvironmentVariable("USERNAME");
        if (!newTask(watcherDescription(minutes), task, settings, triggers) ||
            // It runs until the user logs off; a failure starts it again a minute later.
            !check(settings->put_ExecutionTimeLimit(Bstr(QStringLiteral("PT0S")))) ||
            !check(settings->put_RestartInterval(Bstr(QStringLiteral("PT1M")))) ||
            !check(settings->put_RestartCount(999)) ||
            !check(triggers->Create(TASK_TRIGGER_LOGON, trigger.out())) ||
            !check(trigger->QueryInterface(IID_ILogonTrigger, logon.outVoid())) ||
            !check(logon->put_UserId(Bstr(user))))
            return false;
        VARIANT none;
        VariantInit(&none);
        ComRef<IRegisteredTask> registered;
        ComRef<IRunningTask> running;
        return registerTask(WatchTaskName, task.get(), program,
                            QStringLiteral("--watch %1").arg(minutes), registered) &&
               check(registered->Run(none, running.out()));
    }

    bool remove() { return removeTask(TaskName); }

    bool removeWatcher() {
        if (!connect())
            return false;
        stopWatcher();
        return removeTask(WatchTaskName);
    }

    QString error() const { return m_error; }

private:
    // A task of the user's own, run only while the user is logged on, never stopped for the
    // battery, one run at a time; the state is read back from its description. Its settings
    // beyond these and its trigger are the caller's.
    bool newTask(const QString& description, ComRef<ITaskDefinition>& task,
                 ComRef<ITaskSettings>& settings, ComRef<ITriggerCollection>& triggers) {
        ComRef<IRegistrationInfo> info;
        ComRef<IPrincipal> principal;
        return check(m_service->NewTask(0, task.out())) &&
               check(task->get_RegistrationInfo(info.out())) &&
               check(info->put_Description(Bstr(description))) &&
               check(info->put_Author(Bstr(QStringLiteral("Vantrell")))) &&
               check(task->get_Settings(settings.out())) &&
               check(settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE)) &&
               check(settings->put_StopIfGoingOnBatteries(VARIANT_FALSE)) &&
               check(settings->put_MultipleInstances(TASK_INSTANCES_IGNORE_NEW)) &&
               check(task->get_Principal(principal.out())) &&
               check(principal->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN)) &&
               check(task->get_Triggers(triggers.out()));
    }

    // The task runs the program with the arguments, under the name, in place of any task of
    // that name.
    bool registerTask(const QString& name, ITaskDefinition* task, const QString& program,
                      const QString& arguments, ComRef<IRegisteredTask>& registered) {
        ComRef<IActionCollection> actions;
        ComRef<IAction> action;
        ComRef<IExecAction> exec;
        VARIANT none;
        VariantInit(&none);
        return check(task->get_Actions(actions.out())) &&
               check(actions->Create(TASK_ACTION_EXEC, action.out())) &&
               check(action->QueryInterface(IID_IExecAction, exec.outVoid())) &&
               check(exec->put_Path(Bstr(QDir::toNativeSeparators(program)))) &&
               check(exec->put_Arguments(Bstr(arguments))) &&
               check(m_root->RegisterTaskDefinition(Bstr(name), task, TASK_CREATE_OR_UPDATE, none,
                                                    none, TASK_LOGON_INTERACTIVE_TOKEN, none,
                                                    registered.out()));
    }

    bool removeTask(const QString& name) {
        if (!connect())
            return false;
        const HRESULT hr = m_root->DeleteTask(Bstr(name), 0);
        return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || check(hr);
    }

    // Deleting the task leaves a watcher it started running.
    void stopWatcher() {
        ComRef<IRegisteredTask> task;
        if (SUCCEEDED(m_root->GetTask(Bstr(WatchTaskName), task.out())))
            task->Stop(0);
    }

    // The watcher's task, where no publishing task is on.
    ScheduleState watcherState(ScheduleState s) {
        ComRef<IRegisteredTask> task;
        VARIANT_BOOL enabled = VARIANT_FALSE;
        ComRef<ITaskDefinition> definition;
        ComRef<IRegistrationInfo> info;
        Bstr text;
        if (FAILED(m_root->GetTask(Bstr(WatchTaskName), task.out())) ||
            FAILED(task->get_Enabled(&enabled)) || enabled != VARIANT_TRUE ||
            FAILED(task->get_Definition(definition.out())) ||
            FAILED(definition->get_RegistrationInfo(info.out())) ||
            FAILED(info->get_Description(text.out())))
            return s;
        const std::optional<int> minutes = minutesFromDescription(text.text());
        if (!minutes)
            return s;
        s.kind = ScheduleState::Kind::On;
        s.how = ScheduleKind::Watcher;
        s.minutes = *minutes;
        TASK_STATE state = TASK_STATE_UNKNOWN;
        if (SUCCEEDED(task->get_State(&state)) && state != TASK_STATE_RUNNING)
            s.reason = QStringLiteral("the watcher is not running");
        return s;
    }

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

bool Schedule::Set(int minutes, ScheduleKind kind) {
    m_error.clear();
    if (!validMinutes(minutes)) {
        m_error = outOfRange();
        return false;
    }
    Scheduler scheduler;
    // The new kind is in place before the old one goes.
    const bool watcher = kind == ScheduleKind::Watcher;
    if (!(watcher ? scheduler.setWatcher(minutes, m_program) : scheduler.set(minutes, m_program)) ||
        !(watcher ? scheduler.remove() : scheduler.removeWatcher())) {
        m_error = scheduler.error();
        return false;
    }
    const ScheduleState now = scheduler.state();
    if (now.kind == ScheduleState::Kind::On && now.minutes == minutes && now.how == kind)
        return true;
    m_error = QStringLiteral("the Task Scheduler did not keep the task");
    return false;
}

bool Schedule::Remove() {
    m_error.clear();
    Scheduler scheduler;
    if (!scheduler.remove() || !scheduler.removeWatcher()) {
        m_error = scheduler.error();
        return false;
    }
    return true;
}

QString Schedule::CrontabLines(int minutes) const {
    Q_UNUSED(minutes);
    return QString();
}

} // namespace platform
