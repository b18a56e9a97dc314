#include "modWatch.h"

#include "AddressEvents.h"
#include "AddressLookup.h"
#include "AddressSource.h"
#include "AppInfo.h"
#include "FileLock.h"
#include "LocalIP.h"
#include "MessageLine.h"
#include "MsgBox.h"
#include "NatPmpListener.h"
#include "Process.h"
#include "ProcessSignals.h"
#include "PublishHistory.h"
#include "PublishState.h"
#include "ResumeWatch.h"
#include "Schedule.h"
#include "ServiceManager.h"
#include "StateFolder.h"
#include "UpnpEvents.h"
#include "WatchPlan.h"
#include "WatchState.h"
#include "frmTallyhost.h"
#include "modNotice.h"
#include "modSettings.h"
#include "modTallyhost.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QPointer>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>

namespace {

using namespace std::chrono_literals;
using platform::WatchEvent;
using platform::WatchEvents;

constexpr int DefaultMinutes = 15;
// The router is on the local network: it answers at once or not at all.
constexpr auto RouterPatience = 3s;
// Editors write a file in steps; it is read once they are done.
constexpr auto SettingsSettle = 300ms;
// What the settings file may hold, read in full to see whether it changed.
constexpr qint64 MaxSettingsFile = 1024 * 1024;

// This machine's addresses that can matter, in order: those of the active interfaces but the
// link-local ones, which never reach the page.
QStringList localAddresses() {
    QStringList addresses;
    for (const QNetworkAddressEntry& entry : platform::ActiveAddressEntries())
        if (!entry.ip().isLinkLocal())
            addresses << entry.ip().toString();
    addresses.sort();
    return addresses;
}

// What the router said of its external address, over each protocol; empty where it said
// nothing.
struct RouterAnswers {
    QString upnp;
    QString natPmp;
    bool operator==(const RouterAnswers&) const = default;
};

QByteArray settingsBytes() {
    QFile file(OpenSettings().FileName());
    return file.open(QIODevice::ReadOnly) ? file.read(MaxSettingsFile) : QByteArray();
}

QDateTime now() {
    return QDateTime::currentDateTimeUtc();
}

// The watcher: one a process, made by StartWatching and ended with the process.
class Watcher : public QObject {
public:
    Watcher(int minutes, std::unique_ptr<platform::FileLock> lock)
        : m_interval(std::chrono::minutes(minutes)), m_lock(std::move(lock)) {}
    void Start();

private:
    void note(WatchEvent event);
    void noteAnnouncement(WatchEvent event, const QString& address);
    void armSettle();
    void check();
    void askRouter(WatchEvents events, bool localChanged);
    void decide(WatchEvents events, bool changed, const RouterAnswers& router);
    void publish();
    bool publishOnce();
    void finish();
    void stop();
    void quit();
    void save();
    void settingsMayHaveChanged(bool told);
    void readSettings();

    const std::chrono::seconds m_interval;
    const std::unique_ptr<platform::FileLock> m_lock;
    platform::WatchState m_state;
    platform::ServiceManager m_manager;
    platform::ProcessSignals m_signals;
    platform::AddressEvents m_addressEvents;
    platform::ResumeWatch m_resume;
    std::unique_ptr<platform::NatPmpListener> m_natPmp;
    std::unique_ptr<platform::UpnpEvents> m_upnp;
    QFileSystemWatcher m_settingsWatch;
    QByteArray m_settingsBytes;
    QTimer m_settingsSettle;
    QTimer m_settle;
    QTimer m_forced; // the next safety check, or the retry after a failure
    QTimer m_watchdog;
    QElapsedTimer m_clock;

    // What the cheap sources said at the last check.
    QStringList m_local;
    RouterAnswers m_router;
    bool m_usesRouter = false;
    QString m_routerURL;

    // Events not yet looked at, and what the router announced among them.
    WatchEvents m_pending;
    qint64 m_firstEvent = 0;
    qint64 m_lastEvent = 0;
    RouterAnswers m_announced;
    bool m_announcedNothing = false; // an announcement that told no address

    std::unique_ptr<platform::AddressLookup> m_askUpnp;
    std::unique_ptr<platform::AddressLookup> m_askNatPmp;

    int m_failures = 0;
    QDateTime m_nextForced;
    bool m_busy = false;       // a check is under way
    bool m_publishing = false; // the job runs
    bool m_stopping = false;
};

void Watcher::Start() {
    m_clock.start();
    m_state.pid = QCoreApplication::applicationPid();
    m_state.since = now();
    m_state.state = platform::WatchState::Kind::Working;
    m_state.message = QStringLiteral("Starting");

    for (QTimer* timer : {&m_settingsSettle, &m_settle, &m_forced})
        timer->setSingleShot(true);
    connect(&m_settle, &QTimer::timeout, this, &Watcher::check);
    connect(&m_forced, &QTimer::timeout, this,
            [this] { note(m_failures > 0 ? WatchEvent::Retry : WatchEvent::Safety); });
    connect(&m_signals, &platform::ProcessSignals::stopRequested, this, &Watcher::stop);
    connect(&m_signals, &platform::ProcessSignals::reloadRequested, this,
            [this] { settingsMayHaveChanged(true); });
    connect(&m_signals, &platform::ProcessSignals::publishRequested, this,
            [this] { note(WatchEvent::PublishNow); });
    connect(&m_addressEvents, &platform::AddressEvents::changed, this,
            [this] { note(WatchEvent::Network); });
    connect(&m_resume, &platform::ResumeWatch::resumed, this, [this] { note(WatchEvent::Resume); });

    // Settings in a file (Linux; Windows keeps them in the registry) are watched, and the
    // folder too: an editor that saves by renaming leaves the file's watch behind.
    const QString settingsFile = OpenSettings().FileName();
    if (QFileInfo(QFileInfo(settingsFile).absolutePath()).isDir()) {
        m_settingsWatch.addPath(QFileInfo(settingsFile).absolutePath());
        if (QFileInfo::exists(settingsFile))
            m_settingsWatch.addPath(settingsFile);
    }
    connect(&m_settingsWatch, &QFileSystemWatcher::fileChanged, &m_settingsSettle,
            qOverload<>(&QTimer::start));
    connect(&m_settingsWatch, &QFileSystemWatcher::directoryChanged, &m_settingsSettle,
            qOverload<>(&QTimer::start));
    m_settingsSettle.setInterval(SettingsSettle);
    connect(&m_settingsSettle, &QTimer::timeout, this, [this] { settingsMayHaveChanged(false); });
    m_settingsBytes = settingsBytes();
    readSettings();

    // Without the system's news of address changes, only the router's and the safety check
    // are left: worth a line in the journal.
    if (!m_addressEvents.IsListening())
        platform::MessageLine::Say(
            {m_addressEvents.Problem(), platform::MsgIcon::Exclamation, platform::App::title()});
    m_manager.Notify("READY=1\nSTATUS=Watching");
    if (m_manager.WatchdogInterval().count() > 0) {
        connect(&m_watchdog, &QTimer::timeout, this, [this] { m_manager.Notify("WATCHDOG=1"); });
        m_watchdog.start(m_manager.WatchdogInterval());
    }
    m_local = localAddresses();
    note(WatchEvent::Start);
}

void Watcher::note(WatchEvent event) {
    const qint64 time = m_clock.elapsed();
    const bool first = !m_pending;
    if (first)
        m_firstEvent = time;
    m_pending |= event;
    m_lastEvent = time;
    // The watcher's own beats are not news from outside. The record hears of a burst once.
    if (!(WatchEvents(event) &
          (WatchEvents(WatchEvent::Start) | WatchEvent::Safety | WatchEvent::Retry))) {
        m_state.lastEvent = now();
        m_state.lastEventKind = platform::WatchEventName(event);
        if (first)
            save();
    }
    if (!m_busy)
        armSettle();
}

void Watcher::noteAnnouncement(WatchEvent event, const QString& address) {
    if (address.isEmpty())
        m_announcedNothing = true;
    else if (event == WatchEvent::Upnp)
        m_announced.upnp = address;
    else
        m_announced.natPmp = address;
    note(event);
}

void Watcher::armSettle() {
    if (!m_pending || m_stopping)
        return;
    const qint64 until = platform::SettleUntil(m_pending, m_firstEvent, m_lastEvent);
    m_settle.start(std::chrono::milliseconds(std::max<qint64>(0, until - m_clock.elapsed())));
}

// Looks at the cheap sources first: this machine's addresses, then, where the source has one
// and the news calls for it, the router.
void Watcher::check() {
    if (m_busy || m_stopping || !m_pending)
        return;
    WatchEvents events = std::exchange(m_pending, WatchEvents());
    // Timers stand still while the machine sleeps: a check missed meanwhile is due now.
    if (m_nextForced.isValid() && now() >= m_nextForced)
        events |= m_failures > 0 ? WatchEvent::Retry : WatchEvent::Safety;
    m_busy = true;

    const QStringList local = localAddresses();
    const bool localChanged = local != m_local;
    m_local = local;
    if (localChanged) {
        // The interface the group was joined on, or the listener's address, may be gone.
        if (m_natPmp)
            m_natPmp->Listen();
        if (m_upnp)
            m_upnp->NetworkChanged();
    }
    RouterAnswers router = m_router;
    if (!m_announced.upnp.isEmpty())
        router.upnp = m_announced.upnp;
    if (!m_announced.natPmp.isEmpty())
        router.natPmp = m_announced.natPmp;
    const bool announcedAddress = !m_announcedNothing;
    m_announced = {};
    m_announcedNothing = false;

    if (m_usesRouter && platform::AsksRouter(events, localChanged, announcedAddress))
        askRouter(events, localChanged);
    else
        decide(events, localChanged || (m_usesRouter && router != m_router), router);
}

void Watcher::askRouter(WatchEvents events, bool localChanged) {
    const auto lookup = [this](platform::AddressSource source) {
        platform::AddressQuery query;
        query.source = source;
        query.routerURL = m_routerURL;
        query.timeout = RouterPatience;
        return std::make_unique<platform::AddressLookup>(query);
    };
    m_askUpnp = lookup(platform::AddressSource::Router);
    m_askNatPmp = lookup(platform::AddressSource::NatPmp);
    const auto answered = [this, events, localChanged] {
        if (!m_askUpnp || !m_askNatPmp || !m_askUpnp->IsFinished() || !m_askNatPmp->IsFinished())
            return;
        const RouterAnswers router{m_askUpnp->Answer().address, m_askNatPmp->Answer().address};
        // Gone once the slot that called here has returned.
        m_askUpnp.release()->deleteLater();
        m_askNatPmp.release()->deleteLater();
        decide(events, localChanged || router != m_router, router);
    };
    connect(m_askUpnp.get(), &platform::AddressLookup::answered, this, answered);
    connect(m_askNatPmp.get(), &platform::AddressLookup::answered, this, answered);
}

void Watcher::decide(WatchEvents events, bool changed, const RouterAnswers& router) {
    m_router = router;
    if (platform::Decide(events, changed, m_failures > 0) == platform::WatchVerdict::Publish)
        publish();
    else
        finish();
}

void Watcher::publish() {
    m_state.state = platform::WatchState::Kind::Working;
    m_state.message = QStringLiteral("Publishing");
    save();
    const bool published = publishOnce();
    if (m_stopping) {
        quit();
        return;
    }

    const QList<platform::HistoryEntry> history = platform::ReadHistory();
    if (published) {
        m_failures = 0;
        m_nextForced = now().addSecs(m_interval.count());
        m_state.state = platform::WatchState::Kind::Published;
        if (!history.isEmpty()) {
            const platform::HistoryEntry& e = history.last();
            m_state.address = e.address;
            m_state.message = (e.result == platform::HistoryEntry::Result::Unchanged
                                   ? QStringLiteral("%1 is published on %2, unchanged")
                                   : QStringLiteral("Published %1 to %2"))
                                  .arg(e.address, platform::Destination(e));
        }
    } else {
        ++m_failures;
        m_nextForced = now().addSecs(platform::RetryDelay(m_failures, m_interval).count());
        m_state.state = platform::WatchState::Kind::Failing;
        const platform::Message said = platform::MessageLine::LastWritten();
        m_state.message = said.text.isEmpty() ? platform::LastMessage().text : said.text;
    }
    m_forced.start(std::chrono::milliseconds(std::max<qint64>(0, now().msecsTo(m_nextForced))));
    finish();
}

// The job as "/A" runs it, on the settings as they are now, its messages one line each.
bool Watcher::publishOnce() {
    m_publishing = true;
    // The job saves the window's fields before it starts: they must be the file's.
    LoadSettings();
    SaveSettings();
    m_settingsBytes = settingsBytes();
    const std::optional<platform::Publication> before = platform::LoadPublication();
    bool published = false;
    {
        const platform::MessageLine oneLine;
        published = ReportMisplacedSettings() && UploadPage();
    }
    m_publishing = false;
    if (!m_stopping)
        NoticeUnattendedRun(published, before);
    return published;
}

void Watcher::finish() {
    m_busy = false;
    m_state.lastCheck = now();
    m_state.nextSafetyCheck = m_nextForced;
    save();
    armSettle();
}

void Watcher::stop() {
    // Asked twice: the page is stopped even while it is being put in place.
    if (m_stopping) {
        if (m_publishing)
            CancelUpload();
        return;
    }
    m_stopping = true;
    if (!m_publishing)
        quit();
    // Stopped the way Cancel stops it, the server keeps its page as it was. Once the whole
    // page is there and being put in place it is left to finish: stopped then, the server
    // could keep either page.
    else if (!UploadReplacing())
        CancelUpload();
}

// Ends the process, the record saying that nobody watches any more.
void Watcher::quit() {
    m_state.state = platform::WatchState::Kind::Idle;
    m_state.message = QStringLiteral("Stopped");
    m_state.Save();
    m_manager.Notify("STOPPING=1");
    // The router is told not to send any more events, if it hears at once.
    if (m_upnp)
        m_upnp->Stop(500ms);
    platform::EndProcess(0);
}

void Watcher::save() {
    m_state.Save();
    if (!m_state.message.isEmpty())
        m_manager.Notify("STATUS=" + m_state.message.toUtf8());
}

void Watcher::settingsMayHaveChanged(bool told) {
    const QString file = OpenSettings().FileName();
    if (QFileInfo::exists(file) && !m_settingsWatch.files().contains(file))
        m_settingsWatch.addPath(file);
    const QByteArray bytes = settingsBytes();
    if (!told && bytes == m_settingsBytes)
        return;
    m_settingsBytes = bytes;
    readSettings();
    note(WatchEvent::Settings);
}

// Which sources the settings ask, and so which news is worth hearing: the router's when the
// published address comes from it, or from the web, which sees the router's address.
void Watcher::readSettings() {
    platform::SettingsStore store = OpenSettings();
    QString name = store.GetSetting(platform::SettingKey::Source).trimmed();
    if (name.isEmpty())
        name = platform::SettingOf(platform::SettingKey::Source).Default();
    const std::optional<platform::AddressSource> source = platform::ParseAddressSource(name);
    const QString routerURL = store.GetSetting(platform::SettingKey::RouterURL).trimmed();
    m_usesRouter = source == platform::AddressSource::Router ||
                   source == platform::AddressSource::Web ||
                   source == platform::AddressSource::Auto;
    if (!m_usesRouter) {
        if (m_upnp)
            m_upnp->Stop(500ms);
        m_upnp.reset();
        m_natPmp.reset();
        m_routerURL = routerURL;
        return;
    }
    if (!m_natPmp) {
        m_natPmp = std::make_unique<platform::NatPmpListener>();
        connect(m_natPmp.get(), &platform::NatPmpListener::announced, this,
                [this](const QString& address) { noteAnnouncement(WatchEvent::NatPmp, address); });
        m_natPmp->Listen();
    }
    if (!m_upnp || routerURL != m_routerURL) {
        if (m_upnp)
            m_upnp->Stop(500ms);
        m_upnp = std::make_unique<platform::UpnpEvents>();
        connect(m_upnp.get(), &platform::UpnpEvents::announced, this,
                [this](const QString& address) { noteAnnouncement(WatchEvent::Upnp, address); });
        m_upnp->Start(routerURL);
    }
    m_routerURL = routerURL;
}

void writeLine(const QString& text) {
    const QByteArray bytes =
        (platform::App::title() + QStringLiteral(": ") + text + '\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

std::optional<QString> WatchArgument(int argc, const char* const* argv) {
    constexpr std::string_view option = "--watch";
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == option) {
            // Another option or the unattended switch is no number of minutes.
            const bool value = i + 1 < argc && argv[i + 1][0] != '-' && argv[i + 1][0] != '/';
            return value ? QString::fromLocal8Bit(argv[i + 1]) : QString();
        }
        if (argument.starts_with(option) && argument.size() > option.size() &&
            argument[option.size()] == '=')
            return QString::fromLocal8Bit(argv[i] + option.size() + 1);
    }
    return std::nullopt;
}

std::optional<int> WatchMinutes(const QString& value) {
    if (value.trimmed().isEmpty())
        return DefaultMinutes;
    bool number = false;
    const int minutes = value.trimmed().toInt(&number);
    if (number && minutes >= platform::Schedule::MinMinutes &&
        minutes <= platform::Schedule::MaxMinutes)
        return minutes;
    writeLine(QStringLiteral("--watch takes the minutes between safety checks, from %1 to %2 "
                             "(not \"%3\").")
                  .arg(platform::Schedule::MinMinutes)
                  .arg(platform::Schedule::MaxMinutes)
                  .arg(value));
    return std::nullopt;
}

bool StartWatching(int minutes) {
    // Two watchers would publish every change twice. The lock goes with the process, however
    // it ends.
    auto lock = std::make_unique<platform::FileLock>(platform::WatchState::Path() +
                                                     QStringLiteral(".lock"));
    if (platform::MakeStateFolder() && lock->TryLock() == platform::FileLock::State::Busy) {
        const std::optional<platform::WatchState> other = platform::WatchState::Load();
        writeLine(QStringLiteral("Vantrell is watching the address already (process %1).")
                      .arg(other ? other->pid : 0));
        return false;
    }
    strCommandLine = QStringLiteral("--WATCH");
    // Nobody is there to close a box: every message is one line, wherever the program runs.
    platform::SetMessageHandler([](const platform::Message& m) { platform::MessageLine::Say(m); });
    // The job reads its fields from the window, which is never shown: a shown one would wake
    // the program twice a second for as long as it runs, to blink a cursor nobody sees.
    MainForm();
    LoadSettings();
    auto* watcher = new Watcher(minutes, std::move(lock));
    watcher->setParent(QCoreApplication::instance());
    watcher->Start();
    return true;
}
