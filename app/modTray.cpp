#include "modTray.h"

#include "AppInfo.h"
#include "Autostart.h"
#include "MsgBox.h"
#include "Process.h"
#include "PublishHistory.h"
#include "StateFolder.h"
#include "WatchState.h"
#include "frmHistory.h"
#include "frmOptions.h"
#include "frmTray.h"
#include "modHistory.h"
#include "modStatus.h"

#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLockFile>
#include <QPointer>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

using namespace std::chrono_literals;

platform::AutostartEntry trayEntry() {
    return platform::AutostartEntry(QStringLiteral("tray"));
}

QString watchStatePath() {
    return platform::WatchState::Path();
}

// The last upload that put a page on the server, if any.
std::optional<platform::HistoryEntry> lastPublished() {
    const QList<platform::HistoryEntry> history = platform::ReadHistory();
    for (auto it = history.rbegin(); it != history.rend(); ++it)
        if (it->result == platform::HistoryEntry::Result::Published)
            return *it;
    return std::nullopt;
}

// Where and when: "to ftp.example.org/www/index.htm at 10:42".
QString whereAndWhen(const platform::HistoryEntry& e) {
    return QStringLiteral("to %1 at %2").arg(platform::Destination(e), WhenSaid(e.time));
}

// The watcher's state in the icon's words. A state that this program does not know reads as
// working.
struct Shown {
    frmTray::Look look;
    QString tip;
};

Shown shownFor(const std::optional<platform::WatchState>& state) {
    const std::optional<platform::HistoryEntry> last = lastPublished();
    const QString lastLine =
        last ? QStringLiteral("\nPublished %1 ").arg(last->address) + whereAndWhen(*last)
             : QString();
    if (!state || !platform::WatcherRuns(state->pid))
        return {frmTray::Look::Stopped,
                QStringLiteral("Vantrell is not watching the address") + lastLine};
    const QString message = state->message.simplified();
    if (state->state == platform::WatchState::Kind::Published)
        return {frmTray::Look::Watching,
                QStringLiteral("Vantrell: published %1").arg(state->address) +
                    (last && last->address == state->address
                         ? QLatin1Char('\n') + whereAndWhen(*last)
                         : QString())};
    if (state->state == platform::WatchState::Kind::Failing)
        return {frmTray::Look::Failing, QStringLiteral("Vantrell: publishing fails\n") + message};
    if (state->state == platform::WatchState::Kind::Idle)
        return {frmTray::Look::Watching,
                QStringLiteral("Vantrell is watching the address") + lastLine};
    return {frmTray::Look::Working,
            QStringLiteral("Vantrell: checking the address") +
                (message.isEmpty() ? QString() : QLatin1Char('\n') + message)};
}

// Publish now: the watcher, if one runs, publishes; otherwise one run as the schedule makes it,
// which takes its turn with any other publish of the same page.
void publishNow(const QString& program) {
    const std::optional<platform::WatchState> state = platform::WatchState::Load();
    if (state && platform::AskWatcherToPublish(state->pid))
        return;
    if (!platform::StartProgram(program, {QStringLiteral("/A")}))
        platform::MsgBox(QStringLiteral("Unable to start ") + program, platform::MsgIcon::Critical);
}

void showHistory(QPointer<frmHistory>& shown) {
    if (!shown) {
        shown = new frmHistory;
        shown->setModal(false);
        shown->setAttribute(Qt::WA_DeleteOnClose);
    }
    LoadHistory(*shown);
    shown->show();
    shown->raise();
    shown->activateWindow();
}

void say(const QString& line) {
    const QByteArray bytes =
        (platform::App::title() + QStringLiteral(": ") + line + '\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

void ShowWatcherState(frmTray& tray) {
    const Shown shown = shownFor(platform::WatchState::Load());
    tray.setLook(shown.look);
    tray.icoTray->setToolTip(shown.tip);
}

void ConnectTray(frmTray& tray, const QString& program) {
    QObject::connect(&tray, &frmTray::publishNowRequested, &tray,
                     [program] { publishNow(program); });
    QObject::connect(&tray, &frmTray::openRequested, &tray, [program] {
        if (!platform::StartProgram(program, {}))
            platform::MsgBox(QStringLiteral("Unable to start ") + program,
                             platform::MsgIcon::Critical);
    });
    auto history = std::make_shared<QPointer<frmHistory>>();
    QObject::connect(&tray, &frmTray::historyRequested, &tray,
                     [history] { showHistory(*history); });
    QObject::connect(&tray, &QObject::destroyed, [history] { delete history->data(); });

    // The watcher replaces its file whole, which ends a watch on the file itself: its folder
    // is watched too. A watcher that ends without a word is noticed by the timer.
    const QString entry = trayEntry().Path();
    const bool started = !entry.isEmpty() && QFileInfo::exists(entry);
    auto* files = new QFileSystemWatcher(&tray);
    const auto follow = [files, &tray, entry, started] {
        for (const QString& path :
             {platform::StateFolder(), watchStatePath(), QFileInfo(entry).path()})
            if (!path.isEmpty() && QFileInfo::exists(path) && !files->files().contains(path) &&
                !files->directories().contains(path))
                files->addPath(path);
        if (started && !QFileInfo::exists(entry))
            tray.mnuQuit->trigger();
        else
            ShowWatcherState(tray);
    };
    QObject::connect(files, &QFileSystemWatcher::fileChanged, &tray, follow);
    QObject::connect(files, &QFileSystemWatcher::directoryChanged, &tray, follow);
    auto* clock = new QTimer(&tray);
    clock->setInterval(30s);
    QObject::connect(clock, &QTimer::timeout, &tray, follow);
    clock->start();
    follow();
}

int RunTray() {
    QString error;
    if (!platform::MakeStateFolder(&error)) {
        say(QStringLiteral("Unable to show the icon: ") + error + QLatin1Char('.'));
        return 1;
    }
    QLockFile lock(platform::StateFolder() + QStringLiteral("/tray.lock"));
    if (!lock.tryLock(0))
        return 0;
    // The panel may come up after the programs that start at log-on.
    QDeadlineTimer deadline(1min);
    while (!frmTray::Available()) {
        if (deadline.hasExpired()) {
            say(QStringLiteral("The desktop shows no notification area."));
            return 1;
        }
        QEventLoop wait;
        QTimer::singleShot(1s, &wait, &QEventLoop::quit);
        wait.exec();
    }
    // Closing History is no reason to end.
    QApplication::setQuitOnLastWindowClosed(false);
    frmTray tray;
    ConnectTray(tray, QCoreApplication::applicationFilePath());
    QObject::connect(&tray, &frmTray::quitRequested, qApp, &QCoreApplication::quit);
    tray.icoTray->show();
    return QCoreApplication::exec();
}

void LoadTrayOption(frmOptions& dialog) {
    const QSignalBlocker blocker(dialog.chkTray);
    const bool shown = trayEntry().Exists();
    const bool available = frmTray::Available();
    dialog.chkTray->setChecked(shown);
    // Where the desktop shows no notification area the box can only be cleared.
    dialog.chkTray->setEnabled(available || shown);
    dialog.chkTray->setToolTip(available ? QString()
                                         : QStringLiteral("This desktop shows no notification "
                                                          "area."));
    QObject::connect(&dialog, &frmOptions::trayChanged, &dialog,
                     [&dialog] { ApplyTrayOption(dialog); });
}

void ApplyTrayOption(frmOptions& dialog) {
    platform::AutostartEntry entry = trayEntry();
    const QString program = QCoreApplication::applicationFilePath();
    const bool on = dialog.chkTray->isChecked();
    const bool done = on ? entry.Set(QStringLiteral("Vantrell in the notification area"), program,
                                     {QStringLiteral("--tray")})
                         : entry.Remove();
    if (!done) {
        const QSignalBlocker blocker(dialog.chkTray);
        dialog.chkTray->setChecked(entry.Exists());
        platform::MsgBox((on ? QStringLiteral("Unable to show Vantrell in the notification area: ")
                             : QStringLiteral("Unable to remove Vantrell from the notification "
                                              "area: ")) +
                             entry.LastError() + QLatin1Char('.'),
                         platform::MsgIcon::Critical);
        return;
    }
    // Shown now as well, not only from the next log-on; an icon that is up already stays the
    // only one. Cleared, the icon sees its entry go and quits.
    if (on && frmTray::Available())
        platform::StartProgram(program, {QStringLiteral("--tray")});
}
