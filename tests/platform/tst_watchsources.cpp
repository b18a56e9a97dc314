// The news a watcher listens to, from real sources: the kernel's address events in a network
// namespace of the test's own, a router's announcements multicast there, a stand-in UPnP
// gateway (tests/common/addressserver.py) that sends its events, logind's signal on a bus of
// the test's own, and a stand-in service manager's socket (the process's own signals are sent to
// a watcher in tests/app/tst_watch.cpp).

#include "AddressEvents.h"
#include "AddressServer.h"
#include "NatPmpListener.h"
#include "ResumeWatch.h"
#include "ServiceManager.h"
#include "SessionBusDaemon.h"
#include "UpnpEvents.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

bool inOwnNetwork() {
    return qEnvironmentVariableIntValue("VANTRELL_TEST_NETNS") == 1;
}

bool ip(const QStringList& args) {
    QProcess tool;
    tool.start(QStringLiteral("ip"), args);
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

QByteArray natPmp(quint8 version, quint8 opcode, quint16 result, const char* address,
                  qsizetype size = 12) {
    QByteArray d(std::max<qsizetype>(size, 12), '\0');
    d[0] = char(version);
    d[1] = char(opcode);
    d[2] = char(result >> 8);
    d[3] = char(result & 0xff);
    const quint32 a = QHostAddress(QString::fromLatin1(address)).toIPv4Address();
    for (int i = 0; i < 4; ++i)
        d[8 + i] = char(a >> (24 - 8 * i));
    return d.left(size);
}

} // namespace

class WatchSourcesTest : public QObject {
    Q_OBJECT

private slots:
    void addressChangesAreHeard_data();
    void addressChangesAreHeard();
    void announcementsAreRead_data();
    void announcementsAreRead();
    void announcementsAreHeard();
    void routerEventsAreHeardAndRenewed();
    void wakingIsHeard();
    void serviceManagerHears_data();
    void serviceManagerHears();
};

void WatchSourcesTest::addressChangesAreHeard_data() {
    QTest::addColumn<QStringList>("change");
    QTest::newRow("IPv4 address added") << QStringList{"addr", "add", "10.9.8.7/24", "dev", "v0"};
    QTest::newRow("IPv6 address added")
        << QStringList{"addr", "add", "2001:db8::7/64", "dev", "v0", "nodad"};
    QTest::newRow("address removed") << QStringList{"addr", "del", "10.1.1.1/24", "dev", "v0"};
    QTest::newRow("default route") << QStringList{"route", "add", "default", "via", "10.1.1.2"};
}

void WatchSourcesTest::addressChangesAreHeard() {
    QFETCH(QStringList, change);
    if (!inOwnNetwork())
        QSKIP("needs a network namespace of its own");
    ip({"link", "del", "v0"}); // left by a row that failed
    if (!ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"}))
        QSKIP("no virtual network interfaces here (veth)");
    QVERIFY(ip({"addr", "add", "10.1.1.1/24", "dev", "v0"}));
    QVERIFY(ip({"link", "set", "v0", "up"}) && ip({"link", "set", "v1", "up"}));
    platform::AddressEvents events;
    QVERIFY2(events.IsListening(), qPrintable(events.Problem()));
    QSignalSpy changed(&events, &platform::AddressEvents::changed);
    QVERIFY(ip(change));
    QVERIFY(changed.wait(10000));
    QVERIFY(ip({"link", "del", "v0"}));
}

void WatchSourcesTest::announcementsAreRead_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("announcement");
    QTest::addColumn<QString>("address");
    QTest::newRow("NAT-PMP") << natPmp(0, 128, 0, "203.0.113.9") << true << "203.0.113.9";
    QTest::newRow("NAT-PMP, longer")
        << natPmp(0, 128, 0, "203.0.113.9", 16) << true << "203.0.113.9";
    QTest::newRow("no address now") << natPmp(0, 128, 0, "0.0.0.0") << true << "";
    QTest::newRow("one byte short") << natPmp(0, 128, 0, "203.0.113.9", 11) << false << "";
    QTest::newRow("a question, not an answer") << natPmp(0, 0, 0, "203.0.113.9") << false << "";
    QTest::newRow("a failure") << natPmp(0, 128, 3, "203.0.113.9") << false << "";
    QTest::newRow("another version") << natPmp(1, 128, 0, "203.0.113.9") << false << "";
    QTest::newRow("PCP") << natPmp(2, 128, 0, "0.0.0.0", 24) << true << "";
    QTest::newRow("PCP, short") << natPmp(2, 128, 0, "0.0.0.0", 20) << false << "";
}

void WatchSourcesTest::announcementsAreRead() {
    QFETCH(QByteArray, datagram);
    QFETCH(bool, announcement);
    QFETCH(QString, address);
    const std::optional<QString> read = platform::ParseRouterAnnouncement(datagram);
    QCOMPARE(read.has_value(), announcement);
    if (read)
        QCOMPARE(*read, address);
}

// Multicast the way a router sends it, to everyone in the namespace: a short datagram first,
// which counts for nothing, then the announcement.
void WatchSourcesTest::announcementsAreHeard() {
    if (!inOwnNetwork())
        QSKIP("needs a network namespace of its own");
    platform::NatPmpListener listener;
    QVERIFY2(listener.Listen(), qPrintable(listener.Problem()));
    QSignalSpy announced(&listener, &platform::NatPmpListener::announced);
    QUdpSocket router;
    const QHostAddress group(QStringLiteral("224.0.0.1"));
    router.writeDatagram(natPmp(0, 128, 0, "203.0.113.9", 8), group, 5350);
    router.writeDatagram(natPmp(0, 128, 0, "198.51.100.4"), group, 5350);
    QVERIFY(announced.wait(10000));
    QCOMPARE(announced.takeFirst().value(0).toString(), QStringLiteral("198.51.100.4"));
}

// The gateway's first event and a later one are heard; the subscription is renewed before it
// runs out, and made anew once the gateway forgot it; it ends when asked.
void WatchSourcesTest::routerEventsAreHeardAndRenewed() {
    AddressServer stand;
    QVERIFY2(stand.start({.eventSeconds = 2}), qPrintable(stand.errorString()));
    platform::UpnpEvents events;
    QSignalSpy announced(&events, &platform::UpnpEvents::announced);
    events.Start(stand.router(QStringLiteral("203.0.113.7")));
    const auto heard = [&](const QString& address) {
        return QTest::qWaitFor(
            [&] {
                for (const QList<QVariant>& said : std::as_const(announced))
                    if (said.value(0).toString() == address)
                        return true;
                return false;
            },
            20000);
    };
    QVERIFY2(heard(QStringLiteral("203.0.113.7")), qPrintable(events.Problem()));
    QVERIFY(events.IsSubscribed());
    QVERIFY(stand.announce(QStringLiteral("203.0.113.7"), QStringLiteral("198.51.100.4")));
    QVERIFY(heard(QStringLiteral("198.51.100.4")));

    const auto subscriptions = [&](const char* kind) {
        return stand.requests().filter(QRegularExpression(
            QStringLiteral("^SUBSCRIBE /igd/203.0.113.7/evt %1").arg(QLatin1String(kind))));
    };
    QVERIFY(QTest::qWaitFor([&] { return !subscriptions("uuid:").isEmpty(); }, 20000));
    QCOMPARE(subscriptions("new").size(), 1);
    QVERIFY(stand.forgetSubscriptions(QStringLiteral("203.0.113.7")));
    QVERIFY(stand.setRouterAddress(QStringLiteral("203.0.113.7"), QStringLiteral("192.0.2.5")));
    QVERIFY(heard(QStringLiteral("192.0.2.5")));
    QCOMPARE(subscriptions("new").size(), 2);
    QVERIFY(events.IsSubscribed());

    events.Stop(5s);
    QVERIFY(!events.IsSubscribed());
    QCOMPARE(stand.requests().filter(QStringLiteral("UNSUBSCRIBE")).size(), 1);
}

// logind says so on the system bus, here a bus of the test's own.
void WatchSourcesTest::wakingIsHeard() {
    SessionBusDaemon bus;
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8());
    platform::ResumeWatch watch;
    QSignalSpy ready(&watch, &platform::ResumeWatch::ready);
    QSignalSpy resumed(&watch, &platform::ResumeWatch::resumed);
    QVERIFY(ready.wait(20000));
    QVERIFY2(ready.first().value(0).toBool(), qPrintable(watch.Problem()));

    QDBusConnection logind = QDBusConnection::connectToBus(bus.address(), QStringLiteral("logind"));
    for (bool starting : {true, false}) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"));
        signal << starting;
        QVERIFY(logind.send(signal));
    }
    QVERIFY(resumed.wait(10000));
    QTest::qWait(200);
    QCOMPARE(resumed.size(), 1); // going to sleep is no news
    QDBusConnection::disconnectFromBus(QStringLiteral("logind"));

    // Without a system bus there is no news, and no wait for it.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    platform::ResumeWatch without;
    QSignalSpy notReady(&without, &platform::ResumeWatch::ready);
    QVERIFY(notReady.wait(20000));
    QVERIFY(!notReady.first().value(0).toBool());
    QVERIFY(!without.IsListening());
    qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

void WatchSourcesTest::serviceManagerHears_data() {
    QTest::addColumn<bool>("abstract");
    QTest::addColumn<QByteArray>("watchdogPid"); // "self": this process's
    QTest::addColumn<int>("interval");           // ms; 0: no watchdog pings
    QTest::newRow("abstract socket") << true << QByteArray("self") << 1500;
    QTest::newRow("watchdog for another process") << false << QByteArray("1") << 0;
}

// A stand-in for systemd: a datagram socket of its own named in NOTIFY_SOCKET.
void WatchSourcesTest::serviceManagerHears() {
    QFETCH(bool, abstract);
    QFETCH(QByteArray, watchdogPid);
    QFETCH(int, interval);
    QTemporaryDir folder;
    const QByteArray name = abstract ? "@vantrell-test-" + QByteArray::number(getpid())
                                     : QFile::encodeName(folder.filePath("notify"));
    const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(manager >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (abstract)
        address.sun_path[0] = '\0';
    const socklen_t length =
        socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()) + (abstract ? 0 : 1));
    QCOMPARE(::bind(manager, reinterpret_cast<sockaddr*>(&address), length), 0);

    qputenv("NOTIFY_SOCKET", name);
    qputenv("WATCHDOG_USEC", "3000000");
    if (watchdogPid == "self")
        qputenv("WATCHDOG_PID", QByteArray::number(getpid()));
    else if (!watchdogPid.isEmpty())
        qputenv("WATCHDOG_PID", watchdogPid);
    platform::ServiceManager service;
    for (const char* variable : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        qunsetenv(variable);
    QVERIFY(service.IsListening());
    QCOMPARE(service.WatchdogInterval().count(), interval);
    QVERIFY(service.Notify("READY=1\nSTATUS=Watching"));
    char received[256] = {};
    const ssize_t got = ::recv(manager, received, sizeof received, 0);
    ::close(manager);
    QCOMPARE(QByteArray(received, int(got)), QByteArray("READY=1\nSTATUS=Watching"));
}

QTEST_GUILESS_MAIN(WatchSourcesTest)
#include "tst_watchsources.moc"
