// "vantrell --watch" as a user service runs it: a separate process without a display, its own
// settings, in a network namespace of the test's own where addresses change, a router
// stand-in (tests/common/addressserver.py) announces, and a bus of the test's own plays logind.
// Every wait is generous; what is asserted is what happened, never how fast.

#include "AddressServer.h"
#include "FtpServer.h"
#include "SessionBusDaemon.h"
#include "TestFiles.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

bool ip(const QStringList& args) {
    QProcess tool;
    tool.start(QStringLiteral("ip"), args);
    return tool.waitForFinished(30000) && tool.exitCode() == 0;
}

bool inOwnNetwork() {
    return qEnvironmentVariableIntValue("VANTRELL_TEST_NETNS") == 1;
}

constexpr int Patience = 30000;

} // namespace

class WatchTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void localChangeIsPublished();
    void routerNewsIsPublished_data();
    void routerNewsIsPublished();
    void wakingIsChecked();
    void stopLeavesThePageAsItWas();
    void serviceManagerHearsFromIt();
    void secondWatcherIsRefused();
    void wrongMinutesAreRefused_data();
    void wrongMinutesAreRefused();

private:
    void configure(const QString& address);
    void start(const QStringList& arguments = {QStringLiteral("--watch")},
               const QMap<QString, QString>& environment = {});
    bool pageShows(const QString& text) {
        return QTest::qWaitFor([&] { return readFile(pagePath()).contains(text.toUtf8()); },
                               Patience);
    }
    QString pagePath() const { return m_ftp->root() + QStringLiteral("/pub/ip.htm"); }
    QJsonObject state() const {
        return QJsonDocument::fromJson(readFile(m_home->filePath("state/vantrell/watch.json")))
            .object();
    }
    QString status();

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<FtpServer> m_ftp;
    QProcess m_watcher;
};

void WatchTest::init() {
    if (!inOwnNetwork())
        QSKIP("needs a network namespace of its own");
    m_home = std::make_unique<QTemporaryDir>();
    for (const char* folder : {"config", "win/temp", "state"})
        QVERIFY(QDir(m_home->path()).mkpath(QString::fromLatin1(folder)));
    QVERIFY(writeFile(m_home->filePath("template.htm"), "<p>%Tallyhost% on %date%</p>\n"));
    m_ftp = std::make_unique<FtpServer>();
}

void WatchTest::cleanup() {
    if (m_watcher.state() != QProcess::NotRunning) {
        m_watcher.kill();
        m_watcher.waitForFinished();
    }
    m_ftp.reset();
    if (inOwnNetwork())
        ip({"link", "del", "v0"});
}

// Uploads to the test's FTP server; address: the [Address] lines.
void WatchTest::configure(const QString& address) {
    if (m_ftp->port() == 0)
        QVERIFY2(m_ftp->start(), qPrintable(m_ftp->errorString()));
    QVERIFY(QDir(m_ftp->root()).mkpath(QStringLiteral("pub")));
    const QString ini = QStringLiteral("[FTP]\nFTPSite=%1\nUserName=%2\nPassword=%3\n"
                                       "UploadFileName=ip.htm\n[HTML]\nHTMLTemplate=%4\n"
                                       "IPParseField=%Tallyhost%\nUploadDir=pub\n[Address]\n%5\n")
                            .arg(m_ftp->url().mid(6), m_ftp->user(), m_ftp->password(),
                                 m_home->filePath("template.htm"), address);
    QVERIFY(writeFile(m_home->filePath("config/TallyhostUpdater.ini"), ini.toUtf8()));
}

void WatchTest::start(const QStringList& arguments, const QMap<QString, QString>& environment) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                             "DBUS_SESSION_BUS_ADDRESS", "NOTIFY_SOCKET", "WATCHDOG_USEC"})
        env.remove(QString::fromLatin1(name));
    env.insert("XDG_CONFIG_HOME", m_home->filePath("config"));
    env.insert("XDG_STATE_HOME", m_home->filePath("state"));
    env.insert("windir", m_home->filePath("win"));
    env.insert("HOME", m_home->path());
    // The tester's own system bus is never asked.
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
    for (auto it = environment.begin(); it != environment.end(); ++it)
        env.insert(it.key(), it.value());
    m_watcher.setProcessEnvironment(env);
    m_watcher.start(qEnvironmentVariable("VANTRELL_BINARY"), arguments);
    QVERIFY(m_watcher.waitForStarted());
}

QString WatchTest::status() {
    QProcess program;
    program.setProcessEnvironment(m_watcher.processEnvironment());
    program.start(qEnvironmentVariable("VANTRELL_BINARY"), {QStringLiteral("--status")});
    program.waitForFinished(Patience);
    return QString::fromUtf8(program.readAllStandardOutput());
}

// A new address on this machine is on the page within moments, and --status says what the
// watcher has been doing.
void WatchTest::localChangeIsPublished() {
    configure(QStringLiteral("Source=local"));
    start();
    QVERIFY(pageShows(QStringLiteral("<p>127.0.0.1 on ")));
    if (!ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"}))
        QSKIP("no virtual network interfaces here (veth)");
    QVERIFY(ip({"addr", "add", "10.1.2.3/24", "dev", "v0"}));
    QVERIFY(ip({"link", "set", "v0", "up"}) && ip({"link", "set", "v1", "up"}));
    QVERIFY(pageShows(QStringLiteral("<p>10.1.2.3 on ")));

    QVERIFY(QTest::qWaitFor([&] { return state()["address"] == "10.1.2.3"; }, Patience));
    QCOMPARE(state()["state"], "published");
    QCOMPARE(state()["lastEventKind"], "network");
    const QString told = status();
    QVERIFY2(told.contains("\nWatcher:        Watching since ") &&
                 told.contains("(network change), next safety "
                               "check "),
             qPrintable(told));
    m_watcher.terminate();
    QVERIFY(m_watcher.waitForFinished(Patience));
    QVERIFY2(!status().contains("Watching"), "a watcher that ended is not shown");
    QCOMPARE(m_watcher.readAllStandardError(), QByteArray());
}

void WatchTest::routerNewsIsPublished_data() {
    QTest::addColumn<QString>("news");
    QTest::newRow("UPnP event") << "upnp";
    QTest::newRow("NAT-PMP announcement") << "nat-pmp";
    QTest::newRow("publish now (SIGUSR1)") << "SIGUSR1";
    QTest::newRow("settings read again (SIGHUP)") << "SIGHUP";
    QTest::newRow("settings file changed") << "file";
}

// The router's address changes and something tells the watcher: the page follows.
void WatchTest::routerNewsIsPublished() {
    QFETCH(QString, news);
    AddressServer router;
    QVERIFY2(router.start(), qPrintable(router.errorString()));
    configure("Source=router\nRouterURL=" + router.router("203.0.113.7"));
    start();
    QVERIFY(pageShows(QStringLiteral("<p>203.0.113.7 on ")));
    // Subscribed, and the first event heard.
    QVERIFY(QTest::qWaitFor([&] { return !router.requests().filter("NOTIFY uuid:").isEmpty(); },
                            Patience));
    const QString now = QStringLiteral("198.51.100.4");
    if (news == "upnp") {
        QVERIFY(router.announce("203.0.113.7", now));
    } else if (news == "file") {
        configure("Source=router\nRouterURL=" + router.router(now));
    } else {
        QVERIFY(router.setRouterAddress("203.0.113.7", now));
        if (news == "nat-pmp") {
            QByteArray announcement("\0\x80\0\0\0\0\0\x10\xc6\x33\x64\x04", 12);
            QUdpSocket().writeDatagram(announcement, QHostAddress("224.0.0.1"), 5350);
        } else {
            ::kill(pid_t(m_watcher.processId()), news == "SIGHUP" ? SIGHUP : SIGUSR1);
        }
    }
    QVERIFY(pageShows("<p>" + now + " on "));
    QCOMPARE(m_watcher.readAllStandardError(), QByteArray());
}

// The machine woke: the watcher looks, and with nothing changed uploads nothing.
void WatchTest::wakingIsChecked() {
    SessionBusDaemon bus;
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    configure(QStringLiteral("Source=local"));
    start({QStringLiteral("--watch")}, {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    QVERIFY(pageShows(QStringLiteral("<p>127.0.0.1 on ")));
    QDBusConnection logind = QDBusConnection::connectToBus(bus.address(), "logind");
    // Said again until heard: the watcher reaches the bus on its own time.
    QVERIFY(QTest::qWaitFor(
        [&] {
            logind.send(QDBusMessage::createSignal("/org/freedesktop/login1",
                                                   "org.freedesktop.login1.Manager",
                                                   "PrepareForSleep")
                        << false);
            QTest::qWait(500);
            const QJsonObject s = state();
            return s["lastEventKind"] == "resume" &&
                   s["lastCheck"].toString() >= s["lastEvent"].toString();
        },
        Patience));
    QDBusConnection::disconnectFromBus("logind");
    QCOMPARE(m_ftp->connectionCount(), 1);
}

// Stopped while the page goes up, the watcher leaves the server's page as it was and no page
// of its own behind.
void WatchTest::stopLeavesThePageAsItWas() {
    QVERIFY2(m_ftp->start({.stallUploadsAfter = 4096}), qPrintable(m_ftp->errorString()));
    configure(QStringLiteral("Source=local"));
    QVERIFY(writeFile(pagePath(), "old\n"));
    QVERIFY(writeFile(m_home->filePath("template.htm"), QByteArray(24 << 20, 'x')));
    start();
    QVERIFY(
        QTest::qWaitFor([&] { return !m_ftp->commands().filter("STOR ").isEmpty(); }, Patience));
    m_watcher.terminate();
    QVERIFY(m_watcher.waitForFinished(Patience));
    QCOMPARE(m_watcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_watcher.exitCode(), 0);
    QCOMPARE(readFile(pagePath()), QByteArray("old\n"));
    QVERIFY(!QFile::exists(m_home->filePath("win/temp/ip.htm")));
    QCOMPARE(state()["state"], "idle");
    const QList<QByteArray> history =
        readFile(m_home->filePath("state/vantrell/history.jsonl")).trimmed().split('\n');
    QCOMPARE(QJsonDocument::fromJson(history.last()).object()["result"], "cancelled");
}

// A stand-in for systemd: it hears READY=1 once the watcher listens, then the watchdog's
// pings, then STOPPING=1.
void WatchTest::serviceManagerHearsFromIt() {
    configure(QStringLiteral("Source=local"));
    const QByteArray path = QFile::encodeName(m_home->filePath("notify"));
    const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    QCOMPARE(::bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    start({QStringLiteral("--watch"), QStringLiteral("5")},
          {{"NOTIFY_SOCKET", QString::fromLocal8Bit(path)}, {"WATCHDOG_USEC", "400000"}});
    QStringList heard;
    const auto hear = [&](const QString& line) {
        pollfd wait{manager, POLLIN, 0};
        for (int i = 0; i < 300 && !heard.contains(line); ++i)
            if (::poll(&wait, 1, 100) > 0) {
                char datagram[512];
                const ssize_t got = ::recv(manager, datagram, sizeof datagram, 0);
                heard << QString::fromUtf8(datagram, int(std::max<ssize_t>(got, 0))).split('\n');
            }
        return heard.contains(line);
    };
    QVERIFY2(hear("READY=1"), qPrintable(heard.join(',')));
    heard.clear();
    QVERIFY(hear("WATCHDOG=1"));
    heard.clear();
    QVERIFY(hear("WATCHDOG=1"));
    m_watcher.terminate();
    QVERIFY(hear("STOPPING=1"));
    ::close(manager);
}

// One watcher a user: a second would publish every change again.
void WatchTest::secondWatcherIsRefused() {
    configure(QStringLiteral("Source=local"));
    start();
    QVERIFY(pageShows(QStringLiteral("<p>127.0.0.1 on ")));
    QProcess second;
    second.setProcessEnvironment(m_watcher.processEnvironment());
    second.start(qEnvironmentVariable("VANTRELL_BINARY"), {QStringLiteral("--watch")});
    QVERIFY(second.waitForFinished(Patience));
    QCOMPARE(second.exitCode(), 1);
    QCOMPARE(second.readAllStandardError(),
             QStringLiteral("Tallyhost: Vantrell is watching the address already (process %1).\n")
                 .arg(m_watcher.processId())
                 .toUtf8());
    QCOMPARE(m_ftp->connectionCount(), 1);
}

void WatchTest::wrongMinutesAreRefused_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("too few") << QStringList{"--watch", "3"};
    QTest::newRow("too many") << QStringList{"--watch=1441"};
    QTest::newRow("no number") << QStringList{"--watch=soon"};
}

void WatchTest::wrongMinutesAreRefused() {
    QFETCH(QStringList, arguments);
    start(arguments);
    QVERIFY(m_watcher.waitForFinished(Patience));
    QCOMPARE(m_watcher.exitCode(), 1);
    const QByteArray said = m_watcher.readAllStandardError();
    QVERIFY2(said.startsWith("Tallyhost: --watch takes the minutes between safety checks, from 5 "
                             "to 1440") &&
                 said.count('\n') == 1,
             said.constData());
}

QTEST_GUILESS_MAIN(WatchTest)
#include "tst_watch.moc"
