// The watcher's rules, without a network: when a burst of news is looked at, what is asked
// first, what a check comes to, how long a failure waits, and the record --status reads.

#include "TestFiles.h"
#include "WatchPlan.h"
#include "WatchState.h"

#include <QTemporaryDir>
#include <QtTest>

using platform::WatchEvent;
using platform::WatchEvents;
using platform::WatchVerdict;
using E = WatchEvent;

Q_DECLARE_METATYPE(WatchEvents)
Q_DECLARE_METATYPE(WatchVerdict)

class WatchPlanTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("TZ", "UTC"); }

    void burstsAreTakenTogether_data();
    void burstsAreTakenTogether();
    void routerIsAskedOnlyWhenItCanTell_data();
    void routerIsAskedOnlyWhenItCanTell();
    void webSourcesAreAskedOnlyOnChange_data();
    void webSourcesAreAskedOnlyOnChange();
    void failuresWaitLongerEachTime_data();
    void failuresWaitLongerEachTime();
    void stateIsKeptWhole_data();
    void stateIsKeptWhole();
};

void WatchPlanTest::burstsAreTakenTogether_data() {
    QTest::addColumn<WatchEvents>("events");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("until");
    QTest::newRow("one change") << WatchEvents(E::Network) << 1000LL << 1000LL << 2500LL;
    QTest::newRow("more still coming") << WatchEvents(E::Network) << 1000LL << 2000LL << 3500LL;
    QTest::newRow("a burst that never ends")
        << (E::Network | E::Upnp) << 1000LL << 5800LL << 6000LL;
    QTest::newRow("publish now") << (E::Network | E::PublishNow) << 1000LL << 1400LL << 1000LL;
    QTest::newRow("start") << WatchEvents(E::Start) << 0LL << 0LL << 0LL;
}

void WatchPlanTest::burstsAreTakenTogether() {
    QFETCH(WatchEvents, events);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(qint64, until);
    QCOMPARE(platform::SettleUntil(events, first, last), until);
}

void WatchPlanTest::routerIsAskedOnlyWhenItCanTell_data() {
    QTest::addColumn<WatchEvents>("events");
    QTest::addColumn<bool>("localChanged");
    QTest::addColumn<bool>("announcedAddress");
    QTest::addColumn<bool>("asks");
    QTest::newRow("routes refreshed") << WatchEvents(E::Network) << false << false << false;
    QTest::newRow("new local address") << WatchEvents(E::Network) << true << false << true;
    QTest::newRow("NAT-PMP told the address") << WatchEvents(E::NatPmp) << false << true << false;
    QTest::newRow("UPnP told it, routes refreshed")
        << (E::Upnp | E::Network) << false << true << false;
    QTest::newRow("event without an address") << WatchEvents(E::Upnp) << false << false << true;
    QTest::newRow("woke from sleep") << WatchEvents(E::Resume) << false << false << true;
    QTest::newRow("safety check") << WatchEvents(E::Safety) << false << false << true;
}

void WatchPlanTest::routerIsAskedOnlyWhenItCanTell() {
    QFETCH(WatchEvents, events);
    QFETCH(bool, localChanged);
    QFETCH(bool, announcedAddress);
    QFETCH(bool, asks);
    QCOMPARE(platform::AsksRouter(events, localChanged, announcedAddress), asks);
}

void WatchPlanTest::webSourcesAreAskedOnlyOnChange_data() {
    QTest::addColumn<WatchEvents>("events");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<bool>("failing");
    QTest::addColumn<WatchVerdict>("verdict");
    QTest::newRow("nothing changed")
        << (E::Network | E::Resume) << false << false << WatchVerdict::Nothing;
    QTest::newRow("the router's address changed")
        << WatchEvents(E::Upnp) << true << false << WatchVerdict::Publish;
    QTest::newRow("changed while failing")
        << WatchEvents(E::Network) << true << true << WatchVerdict::AwaitRetry;
    QTest::newRow("safety check") << WatchEvents(E::Safety) << false << false
                                  << WatchVerdict::Publish;
    QTest::newRow("the retry") << WatchEvents(E::Retry) << false << true << WatchVerdict::Publish;
    QTest::newRow("settings, while failing")
        << WatchEvents(E::Settings) << false << true << WatchVerdict::Publish;
    QTest::newRow("publish now") << WatchEvents(E::PublishNow) << false << false
                                 << WatchVerdict::Publish;
}

void WatchPlanTest::webSourcesAreAskedOnlyOnChange() {
    QFETCH(WatchEvents, events);
    QFETCH(bool, changed);
    QFETCH(bool, failing);
    QFETCH(WatchVerdict, verdict);
    QCOMPARE(platform::Decide(events, changed, failing), verdict);
}

void WatchPlanTest::failuresWaitLongerEachTime_data() {
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("intervalMinutes");
    QTest::addColumn<int>("seconds");
    QTest::newRow("first failure") << 1 << 15 << 30;
    QTest::newRow("second") << 2 << 15 << 60;
    QTest::newRow("fifth") << 5 << 15 << 480;
    QTest::newRow("sixth reaches the interval") << 6 << 15 << 900;
    QTest::newRow("for days") << 100000 << 15 << 900;
    QTest::newRow("short interval") << 3 << 1 << 60;
}

void WatchPlanTest::failuresWaitLongerEachTime() {
    QFETCH(int, failures);
    QFETCH(int, intervalMinutes);
    QFETCH(int, seconds);
    QCOMPARE(platform::RetryDelay(failures, std::chrono::minutes(intervalMinutes)).count(),
             seconds);
}

void WatchPlanTest::stateIsKeptWhole_data() {
    QTest::addColumn<QByteArray>("record"); // empty: one written by Save()
    QTest::addColumn<QString>("summary");   // empty: not read as a record
    QTest::newRow("written by the watcher")
        << QByteArray()
        << "Watching since 2026-12-07 10:00:00: last check 2026-12-07 10:15:02, "
           "last event 2026-12-07 10:14:58 (network change), next safety check "
           "2026-12-07 10:30:02";
    QTest::newRow("just started")
        << QByteArray(R"({"pid": 12, "state": "working", "since": "2026-12-07T10:00:00Z"})")
        << "Watching since 2026-12-07 10:00:00: last check none yet, last event none yet, next "
           "safety check none yet";
    QTest::newRow("a kind of event from a later version")
        << QByteArray(R"({"pid": 12, "state": "published", "lastEvent": "2026-12-07T10:00:00Z",)"
                      R"( "lastEventKind": "carrier"})")
        << "Watching since none yet: last check none yet, last event 2026-12-07 10:00:00 "
           "(carrier), next safety check none yet";
    QTest::newRow("not JSON") << QByteArray("{\"pid\": 12, \"state\": \"wor") << QString();
    QTest::newRow("no state") << QByteArray(R"({"pid": 12})") << QString();
    QTest::newRow("unknown state")
        << QByteArray(R"({"pid": 12, "state": "sleeping"})") << QString();
    QTest::newRow("no process") << QByteArray(R"({"pid": "x", "state": "idle"})") << QString();
}

void WatchPlanTest::stateIsKeptWhole() {
    QFETCH(QByteArray, record);
    QFETCH(QString, summary);
    QTemporaryDir home;
    qputenv("XDG_STATE_HOME", QFile::encodeName(home.path()));
    if (record.isEmpty()) {
        platform::WatchState state;
        state.pid = 4242;
        state.since = QDateTime(QDate(2026, 12, 7), QTime(10, 0), Qt::UTC);
        state.lastCheck = state.since.addSecs(15 * 60 + 2);
        state.lastEvent = state.since.addSecs(14 * 60 + 58);
        state.lastEventKind = platform::WatchEventName(E::Network);
        state.nextSafetyCheck = state.lastCheck.addSecs(15 * 60);
        state.state = platform::WatchState::Kind::Failing;
        state.message = QStringLiteral("Unable to upload file: Login denied");
        state.address = QStringLiteral("203.0.113.7");
        QVERIFY(state.Save());
        const std::optional<platform::WatchState> read = platform::WatchState::Load();
        QVERIFY(read);
        QCOMPARE(read->pid, 4242);
        QCOMPARE(read->state, platform::WatchState::Kind::Failing);
        QCOMPARE(read->message, state.message);
        QCOMPARE(read->address, state.address);
        QCOMPARE(read->Summary(), summary);
        // Times are kept in UTC, as every reader expects.
        QVERIFY(readFile(platform::WatchState::Path()).contains("\"2026-12-07T10:15:02Z\""));
        return;
    }
    QDir().mkpath(home.filePath(QStringLiteral("vantrell")));
    QFile file(platform::WatchState::Path());
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(record) == record.size());
    file.close();
    const std::optional<platform::WatchState> read = platform::WatchState::Load();
    QCOMPARE(read.has_value(), !summary.isEmpty());
    if (read)
        QCOMPARE(read->Summary(), summary);
}

QTEST_GUILESS_MAIN(WatchPlanTest)
#include "tst_watchplan.moc"
