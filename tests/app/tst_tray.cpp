// The icon in the notification area, a view of the watcher: what it shows for the watcher's own
// state file, how it follows that file, and what its menu does, with real processes standing
// in for the watcher and the program. Offscreen there is no notification area, so the icon's
// menu and tooltip are looked at on the icon itself.

#include "PublishHistory.h"
#include "TestFiles.h"
#include "frmHistory.h"
#include "frmOptions.h"
#include "frmTray.h"
#include "modTray.h"

#include <QApplication>
#include <QCheckBox>
#include <QMenu>
#include <QProcess>
#include <QSaveFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

using Look = frmTray::Look;
Q_DECLARE_METATYPE(frmTray::Look)

namespace {

// A program that keeps what it was started with, one line a start, in "started" beside it.
const QByteArray RecordingProgram =
    "#!/bin/sh\necho \"started:$*\" >> \"$(dirname \"$0\")/started\"\n";

// A watcher as far as the icon can tell: a process with --watch among its arguments that
// notes every SIGUSR1 in the file given.
bool startWatcher(QProcess& process, const QString& usr1Log) {
    // Started is not yet listening: a signal before the trap would end the shell.
    process.start(QStringLiteral("sh"),
                  {QStringLiteral("-c"),
                   QStringLiteral("trap 'echo USR1 >> \"%1\"' USR1; echo ready; "
                                  "while :; do sleep 0.05; done")
                       .arg(usr1Log),
                   QStringLiteral("--watch")});
    return process.waitForStarted() && process.waitForReadyRead(10000) &&
           process.readAllStandardOutput().startsWith("ready");
}

// Written whole, as the watcher writes it.
bool writeWatchState(const QByteArray& json) {
    QSaveFile file(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/vantrell/watch.json"));
    return file.open(QIODevice::WriteOnly) && file.write(json) == json.size() && file.commit();
}

QByteArray watchState(qint64 pid, const char* state, const char* address, const char* message) {
    return QStringLiteral("{\"pid\": %1, \"since\": \"2024-03-05T09:00:00Z\", \"lastCheck\": "
                          "\"2024-03-05T10:55:00Z\", \"lastEvent\": \"2024-03-05T10:50:00Z\", "
                          "\"lastEventKind\": \"address\", \"nextSafetyCheck\": "
                          "\"2024-03-05T11:10:00Z\", \"state\": \"%2\", \"message\": \"%3\", "
                          "\"address\": \"%4\"}")
        .arg(pid)
        .arg(QLatin1String(state), QLatin1String(message), QLatin1String(address))
        .toUtf8();
}

// Chooses the action from the icon's menu, as a person would.
bool choose(frmTray& tray, QAction* action) {
    QMenu* menu = tray.mnuTray;
    menu->popup(QPoint(40, 40));
    if (!QTest::qWaitForWindowExposed(menu))
        return false;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
    return QTest::qWaitFor([menu] { return !menu->isVisible(); });
}

} // namespace

class tst_tray : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void iconShowsTheWatchersState_data();
    void iconShowsTheWatchersState();
    void iconFollowsTheWatchersFile();
    void publishNowAndOpen_data();
    void publishNowAndOpen();
    void historyAndQuit();
    void optionStartsTheIconAtLogOn();

private:
    QString home(const QString& path) const { return m_home->filePath(path); }

    std::unique_ptr<QTemporaryDir> m_home;
};

void tst_tray::init() {
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral("state/vantrell")));
    qputenv("XDG_STATE_HOME", home(QStringLiteral("state")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home(QStringLiteral("config")).toLocal8Bit());
}

void tst_tray::cleanup() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (qobject_cast<frmHistory*>(window))
            delete window;
    m_home.reset();
}

void tst_tray::iconShowsTheWatchersState_data() {
    QTest::addColumn<QByteArray>("state"); // watch.json, the id in it made the process's below
    QTest::addColumn<QString>("pid");      // "watcher", or "other program" that has the id now
    QTest::addColumn<Look>("look");
    QTest::addColumn<QString>("tip");
    const QString last = QStringLiteral(
        "\nPublished 203.0.113.7 to ftp.example.org/www/index.htm at 5 Mar 2024 10:42");
    QTest::newRow("no watcher yet")
        << QByteArray() << "watcher" << Look::Stopped << "Vantrell is not watching the address";
    QTest::newRow("a file that is none of the watcher's")
        << QByteArray("not json") << "watcher" << Look::Stopped
        << "Vantrell is not watching the address" + last;
    // The last watcher's id belongs to another program by now.
    QTest::newRow("the watcher has ended")
        << watchState(0, "published", "203.0.113.7", "") << "other program" << Look::Stopped
        << "Vantrell is not watching the address" + last;
    QTest::newRow("published")
        << watchState(0, "published", "203.0.113.7", "") << "watcher" << Look::Watching
        << "Vantrell: published 203.0.113.7\nto ftp.example.org/www/index.htm at 5 Mar 2024 10:42";
    // Where and when are for the address published, not for another one before it.
    QTest::newRow("published, not yet in the history")
        << watchState(0, "published", "203.0.113.9", "") << "watcher" << Look::Watching
        << "Vantrell: published 203.0.113.9";
    QTest::newRow("failing") << watchState(0, "failing", "203.0.113.9",
                                           "Unable to upload file:\\n530 Login incorrect.")
                             << "watcher" << Look::Failing
                             << "Vantrell: publishing fails\nUnable to upload file: 530 Login "
                                "incorrect.";
    QTest::newRow("working") << watchState(0, "working", "", "Finding the public address")
                             << "watcher" << Look::Working
                             << "Vantrell: checking the address\nFinding the public address";
    QTest::newRow("idle") << watchState(0, "idle", "203.0.113.7", "") << "watcher" << Look::Watching
                          << "Vantrell is watching the address" + last;
    // A record this program cannot read is nobody's word: a newer watcher's, say.
    QTest::newRow("a state this program does not know")
        << watchState(0, "starting", "", "") << "watcher" << Look::Stopped
        << "Vantrell is not watching the address" + last;
}

void tst_tray::iconShowsTheWatchersState() {
    QFETCH(QByteArray, state);
    QFETCH(QString, pid);
    QFETCH(Look, look);
    QFETCH(QString, tip);
    QProcess process;
    const auto stop = qScopeGuard([&process] {
        process.kill();
        process.waitForFinished();
    });
    if (pid == QLatin1String("watcher")) {
        QVERIFY(startWatcher(process, home(QStringLiteral("signals"))));
    } else {
        process.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(process.waitForStarted());
    }
    // Nothing in the history yet in the first row.
    if (QTest::currentDataTag() != QByteArray("no watcher yet")) {
        platform::HistoryEntry e;
        e.time = QDateTime(QDate(2024, 3, 5), QTime(10, 42));
        e.start = platform::HistoryEntry::Start::Schedule;
        e.address = QStringLiteral("203.0.113.7");
        e.source = QStringLiteral("web");
        e.site = QStringLiteral("ftp.example.org");
        e.directory = QStringLiteral("www");
        e.file = QStringLiteral("index.htm");
        e.result = platform::HistoryEntry::Result::Published;
        QVERIFY(platform::AddToHistory(e));
        // A later attempt that published nothing changes nothing of where and when.
        e.time = e.time.addSecs(600);
        e.result = platform::HistoryEntry::Result::Failed;
        QVERIFY(platform::AddToHistory(e));
    }
    if (!state.isEmpty())
        QVERIFY(writeWatchState(
            state.replace("\"pid\": 0", "\"pid\": " + QByteArray::number(process.processId()))));
    frmTray tray;
    ShowWatcherState(tray);
    QCOMPARE(tray.icoTray->toolTip(), tip);
    QCOMPARE(tray.look(), look);
}

// The watcher replaces its file whole at every change; the icon follows within moments, not at
// its half-minute look.
void tst_tray::iconFollowsTheWatchersFile() {
    QProcess watcher;
    const auto stop = qScopeGuard([&watcher] {
        watcher.kill();
        watcher.waitForFinished();
    });
    QVERIFY(startWatcher(watcher, home(QStringLiteral("signals"))));
    const qint64 pid = watcher.processId();
    frmTray tray;
    ConnectTray(tray, QStringLiteral("/nonexistent/vantrell"));
    QCOMPARE(tray.look(), Look::Stopped);
    QVERIFY(writeWatchState(watchState(pid, "published", "203.0.113.7", "")));
    QTRY_COMPARE_WITH_TIMEOUT(tray.icoTray->toolTip(), QString("Vantrell: published 203.0.113.7"),
                              5000);
    QVERIFY(writeWatchState(watchState(pid, "failing", "203.0.113.7", "Unable to connect")));
    QTRY_COMPARE_WITH_TIMEOUT(tray.icoTray->toolTip(),
                              QString("Vantrell: publishing fails\nUnable to connect"), 5000);
    QVERIFY(QFile::remove(home(QStringLiteral("state/vantrell/watch.json"))));
    QTRY_COMPARE_WITH_TIMEOUT(tray.look(), Look::Stopped, 5000);
}

void tst_tray::publishNowAndOpen_data() {
    QTest::addColumn<QString>("command"); // "publish" or "open"
    QTest::addColumn<QString>("pid");     // who has the id in watch.json: "watcher",
                                          // "other program", or "none" (no file)
    QTest::addColumn<QString>("started"); // what the program was started with, if it was
    QTest::addColumn<bool>("signalled");  // the watcher was asked to publish
    QTest::newRow("publish now: the watcher publishes") << "publish"
                                                        << "watcher" << QString() << true;
    QTest::newRow("publish now without a watcher: one run as the schedule's") << "publish"
                                                                              << "none"
                                                                              << "started:/A\n"
                                                                              << false;
    // The signal would end that program: it is never sent.
    QTest::newRow("publish now, the watcher's id taken by another program") << "publish"
                                                                            << "other program"
                                                                            << "started:/A\n"
                                                                            << false;
    QTest::newRow("open Vantrell") << "open"
                                   << "watcher"
                                   << "started:\n"
                                   << false;
}

void tst_tray::publishNowAndOpen() {
    QFETCH(QString, command);
    QFETCH(QString, pid);
    QFETCH(QString, started);
    QFETCH(bool, signalled);
    const QString program = home(QStringLiteral("bin/vantrell"));
    QVERIFY(QDir().mkpath(home(QStringLiteral("bin"))));
    QVERIFY(writeFile(program, RecordingProgram));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
    const QString usr1Log = home(QStringLiteral("signals"));
    QProcess process;
    const auto stop = qScopeGuard([&process] {
        process.kill();
        process.waitForFinished();
    });
    if (pid == QLatin1String("watcher")) {
        QVERIFY(startWatcher(process, usr1Log));
    } else if (pid == QLatin1String("other program")) {
        process.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(process.waitForStarted());
    }
    if (pid != QLatin1String("none"))
        QVERIFY(writeWatchState(watchState(process.processId(), "idle", "203.0.113.7", "")));

    frmTray tray;
    ConnectTray(tray, program);
    QVERIFY(choose(tray, command == QLatin1String("open") ? tray.mnuOpen : tray.mnuPublishNow));
    const QString record = home(QStringLiteral("bin/started"));
    if (!started.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(record)), started, 5000);
    if (signalled)
        QTRY_COMPARE_WITH_TIMEOUT(readFile(usr1Log), QByteArray("USR1\n"), 5000);
    // Whatever was not to happen has had the time to.
    QTest::qWait(300);
    QCOMPARE(QFile::exists(record), !started.isEmpty());
    QCOMPARE(QFile::exists(usr1Log), signalled);
    if (pid != QLatin1String("none"))
        QCOMPARE(process.state(), QProcess::Running);
}

// History... shows the history beside the icon, once however often it is chosen; Quit the icon
// asks to end it.
void tst_tray::historyAndQuit() {
    platform::HistoryEntry e;
    e.time = QDateTime::currentDateTimeUtc();
    e.address = QStringLiteral("203.0.113.7");
    e.result = platform::HistoryEntry::Result::Published;
    QVERIFY(platform::AddToHistory(e));
    QVERIFY(platform::AddToHistory(e));
    frmTray tray;
    ConnectTray(tray, QStringLiteral("/nonexistent/vantrell"));
    QSignalSpy quit(&tray, &frmTray::quitRequested);
    const auto shown = [] {
        QList<frmHistory*> found;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* history = qobject_cast<frmHistory*>(window); history && history->isVisible())
                found << history;
        return found;
    };
    QVERIFY(choose(tray, tray.mnuHistory));
    QTRY_COMPARE(shown().size(), 1);
    QCOMPARE(shown().first()->lstHistory->topLevelItemCount(), 2);
    QVERIFY(choose(tray, tray.mnuHistory));
    QCOMPARE(shown().size(), 1);
    QCOMPARE(quit.size(), 0);
    QVERIFY(choose(tray, tray.mnuQuit));
    QCOMPARE(quit.size(), 1);
}

// "Show in the notification area" puts an entry among the programs the desktop starts at log-on
// (tst_desktop has the desktop read one); cleared, the entry goes, and an icon it started quits.
void tst_tray::optionStartsTheIconAtLogOn() {
    const QString entry =
        home(QStringLiteral("config/autostart/org.example.Vantrell-tray.desktop"));
    frmOptions dialog;
    LoadTrayOption(dialog);
    QVERIFY(!dialog.chkTray->isChecked());
    // Offscreen there is no notification area: the box is there, and says why it is greyed.
    QCOMPARE(dialog.chkTray->isEnabled(), frmTray::Available());
    dialog.chkTray->setChecked(true);
    QVERIFY(QFile::exists(entry));
    const QString exec =
        QStringLiteral("Exec=%1 --tray\n").arg(QCoreApplication::applicationFilePath());
    QVERIFY2(readFile(entry).contains(exec.toUtf8()), readFile(entry).constData());

    frmOptions again;
    LoadTrayOption(again);
    QVERIFY(again.chkTray->isChecked());
    QVERIFY(again.chkTray->isEnabled());
    frmTray tray;
    ConnectTray(tray, QStringLiteral("/nonexistent/vantrell"));
    QSignalSpy quit(&tray, &frmTray::quitRequested);
    again.chkTray->click();
    QVERIFY(!QFile::exists(entry));
    QTRY_COMPARE_WITH_TIMEOUT(quit.size(), 1, 5000);
}

QTEST_MAIN(tst_tray)
#include "tst_tray.moc"
