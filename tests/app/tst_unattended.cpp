// "vantrell /A" as a scheduler runs it: a separate process, no display, its own settings file.

#include "AddressServer.h"
#include "FtpServer.h"
#include "OwnNetwork.h"
#include "PageServer.h"
#include "ProftpdServer.h"
#include "SessionBusDaemon.h"
#include "SshdServer.h"
#include "TestFiles.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Runs a key tool to its end without letting it talk; its exit status.
int runTool(const QString& program, const QStringList& args) {
    QProcess tool;
    tool.start(program, args);
    return tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit
               ? tool.exitCode()
               : -1;
}

bool ip(const QStringList& args) {
    return runTool(QStringLiteral("ip"), args) == 0;
}

// The permission bits of a file or folder, as ls shows them in octal.
int modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// A system without the package ca-certificates, as OpenSSL sees it.
QMap<QString, QString> withoutCertificateStore() {
    return {{QStringLiteral("SSL_CERT_FILE"), QStringLiteral("/nonexistent/ca-certificates.crt")},
            {QStringLiteral("SSL_CERT_DIR"), QStringLiteral("/nonexistent/certs")}};
}

} // namespace

// What a test sets beyond a working upload of ip.htm into pub.
struct RunSetup {
    QString more{}; // further settings file lines
    QString dir = QStringLiteral("pub");
    QString site{}; // empty: the server's own
    QString uploadFileName = QStringLiteral("ip.htm");
};

class UnattendedTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    void publishesSilentlyAndExitsZero_data();
    void publishesSilentlyAndExitsZero();
    void failureIsOneLineAndExitsOne();
    void setupThatCannotPublishExitsOne_data();
    void setupThatCannotPublishExitsOne();
    void slowServerStillPublishes();
    void twoRunsAtOnceTakeTurns();
    void publishesTheChosenSourcesAddress_data();
    void publishesTheChosenSourcesAddress();
    void publishesOnlyWhenSomethingChanged();
    void historyAndStatusTellWhatHappened();
    void statusTellsWhatTheWatcherSays_data();
    void statusTellsWhatTheWatcherSays();
    void damagedHistoryEntriesAreSkipped_data();
    void damagedHistoryEntriesAreSkipped();
    void failuresAreNoticedOnce_data();
    void failuresAreNoticedOnce();
    void pageIsLookedAtWhereVisitorsOpenIt_data();
    void pageIsLookedAtWhereVisitorsOpenIt();
    void unchangedRunsLookAndPublishAgainOnce();

    void scheduleFromTheCommandLine_data();
    void scheduleFromTheCommandLine();
    void severalSchedulesAtOnceEndWithTheLast();

    void serverWordsReachTheTerminalAsText();
    void siteSchemeChoosesTheServer();
    void publishesOverFtpes();
    void publishesOverFtps();
    void publishesOverSftp();
    void publishesOverSftpWithKeys_data();
    void publishesOverSftpWithKeys();
    void untrustedServersGetNoPassword_data();
    void untrustedServersGetNoPassword();
    void onlyFilesAreReplacedAndLeftoversAreOwned_data();
    void onlyFilesAreReplacedAndLeftoversAreOwned();

private:
    void configure(const FtpServer& server, const QString& password, const RunSetup& setup = {});
    // An empty value in `environment` takes the variable away.
    void start(QProcess& program, const QMap<QString, QString>& environment = {},
               const QStringList& arguments = {QStringLiteral("/A")});
    QString home(const QString& path) const { return m_home->filePath(path); }
    bool runsQuietly();
    void configureSite(const QString& site, const QString& user, const QString& password,
                       const QString& trustedCertificate = {});
    // One unattended run to its end: its exit status, and what it wrote to standard error.
    int publish(QByteArray* errors, const QMap<QString, QString>& environment = {});
    QString page() const { return m_home->filePath(QStringLiteral("win/temp/ip.htm")); }
    QString knownHosts() const { return m_home->filePath(QStringLiteral(".ssh/known_hosts")); }

    QString history() const {
        return m_home->filePath(QStringLiteral("state/vantrell/history.jsonl"));
    }
    // What "vantrell --status" prints, without a display; empty unless it ends with status 0.
    QString status(const QMap<QString, QString>& environment = {});
    // "vantrell --check": its exit status, and what it printed on standard output.
    int check(QString* said, const QMap<QString, QString>& environment = {});
    // The history's entries as JSON objects, oldest first; a line that is none fails the test.
    QList<QJsonObject> historyEntries();

    std::unique_ptr<QTemporaryDir> m_home;
};

void UnattendedTest::init() {
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral("config")));
    QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral("win/temp")));
    QVERIFY(writeFile(m_home->filePath(QStringLiteral("template.htm")),
                      "<p>%Tallyhost% on %date% at %time%</p>\n"));
}

void UnattendedTest::configure(const FtpServer& server, const QString& password,
                               const RunSetup& setup) {
    const QString ini =
        QStringLiteral("[FTP]\nFTPSite=%1\nUserName=%2\nPassword=%3\n"
                       "UploadFileName=%4\n[HTML]\nHTMLTemplate=%5\n"
                       "IPParseField=%Tallyhost%\nUploadDir=%6\n")
            .arg(setup.site.isEmpty() ? server.url().mid(6) : setup.site, server.user(), password,
                 setup.uploadFileName, home(QStringLiteral("template.htm")), setup.dir) +
        setup.more;
    QVERIFY(
        writeFile(m_home->filePath(QStringLiteral("config/TallyhostUpdater.ini")), ini.toUtf8()));
    QVERIFY(QDir(server.root()).mkpath(setup.dir));
}

void UnattendedTest::start(QProcess& program, const QMap<QString, QString>& environment,
                           const QStringList& arguments) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Nothing reaches the desktop of whoever runs the tests.
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR", "SSL_CERT_FILE",
          "SSL_CERT_DIR", "DBUS_SESSION_BUS_ADDRESS", "SSH_AUTH_SOCK"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home->filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("windir"), m_home->filePath(QStringLiteral("win")));
    env.insert(QStringLiteral("XDG_STATE_HOME"), m_home->filePath(QStringLiteral("state")));
    // The user's own ~/.ssh/known_hosts is never read or written by a test.
    env.insert(QStringLiteral("HOME"), m_home->path());
    for (auto it = environment.begin(); it != environment.end(); ++it) {
        if (it.value().isEmpty())
            env.remove(it.key());
        else
            env.insert(it.key(), it.value());
    }
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("VANTRELL_BINARY"), arguments);
}

// One run that ends well and says nothing, as a scheduler wants it.
bool UnattendedTest::runsQuietly() {
    QProcess program;
    start(program);
    if (!program.waitForFinished(60000))
        return false;
    const QByteArray said = program.readAllStandardOutput() + program.readAllStandardError();
    if (program.exitCode() != 0 || !said.isEmpty()) {
        qWarning("exit %d: %s", program.exitCode(), said.constData());
        return false;
    }
    return true;
}

void UnattendedTest::publishesSilentlyAndExitsZero_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("page"); // where the page is written, in the test's home
    QTest::newRow("windir") << "windir"
                            << "win/temp/ip.htm";
    // Without windir: a folder of the user's own, closed to everyone else.
    QTest::newRow("runtime folder") << "runtime"
                                    << "run/vantrell/ip.htm";
    QTest::newRow("temporary folder")
        << "temporary" << QStringLiteral("tmp/vantrell-%1/ip.htm").arg(::geteuid());
}

void UnattendedTest::publishesSilentlyAndExitsZero() {
    QFETCH(QString, folder);
    QFETCH(QString, page);
    QMap<QString, QString> environment;
    if (folder != QLatin1String("windir")) {
        environment[QStringLiteral("windir")] = QString();
        QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral("run")));
        QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral("tmp")));
        environment[QStringLiteral("TMPDIR")] = home(QStringLiteral("tmp"));
        if (folder == QLatin1String("runtime"))
            environment[QStringLiteral("XDG_RUNTIME_DIR")] = home(QStringLiteral("run"));
    }
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    configure(server, server.password());
    QProcess program;
    start(program, environment);
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.readAllStandardError(), QByteArray());
    QCOMPARE(program.exitCode(), 0);
    const QByteArray published = readFile(server.root() + QStringLiteral("/pub/ip.htm"));
    QCOMPARE(published, readFile(home(page)));
    QVERIFY(published.startsWith("<p>"));
    QVERIFY(!published.contains('%'));
    QCOMPARE(server.loginCount(), 1);
    if (folder != QLatin1String("windir"))
        QCOMPARE(modeOf(QFileInfo(home(page)).path()), 0700);
}

void UnattendedTest::failureIsOneLineAndExitsOne() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    configure(server, QStringLiteral("Not-the-Password"));
    QProcess program;
    start(program);
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitCode(), 1);
    const QByteArray err = program.readAllStandardError();
    QVERIFY2(err.startsWith("Tallyhost: Unable to upload file: "), err.constData());
    QCOMPARE(err.count('\n'), 1);
    QVERIFY(!err.contains("Not-the-Password"));
    QVERIFY(!QFile::exists(server.root() + QStringLiteral("/pub/ip.htm")));

    // A login typed into the site is refused before anything is sent, and not repeated.
    const int connections = server.connectionCount();
    configure(server, server.password(),
              {.site = server.user() + QStringLiteral(":Pw/in#site@") + server.url().mid(6)});
    QProcess typedLogin;
    start(typedLogin);
    QVERIFY(typedLogin.waitForFinished(60000));
    QCOMPARE(typedLogin.exitCode(), 1);
    const QByteArray said = typedLogin.readAllStandardError();
    QVERIFY2(said.startsWith("Tallyhost: Unable to upload file: "), said.constData());
    QCOMPARE(said.count('\n'), 1);
    QVERIFY2(!said.contains("Pw/in#site"), said.constData());
    QCOMPARE(server.connectionCount(), connections);
}

void UnattendedTest::setupThatCannotPublishExitsOne_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("plant"); // what stands in the way beforehand
    QTest::addColumn<QString>("error"); // how standard error starts; HOME is the test's home
    QTest::newRow("name leaves the page folder")
        << "../../important.conf"
        << ""
        << "Tallyhost: Unable to use the upload file name \"../../important.conf\": it must be a "
           "plain file name";
    // The rest have no windir: the page goes to a folder of the user's own.
    const QString folder = "Tallyhost: Unable to use the page folder HOME/run/vantrell: ";
    QTest::newRow("page folder is a link") << "ip.htm"
                                           << "folder link" << folder + "it is a symbolic link";
    QTest::newRow("page folder is a file")
        << "ip.htm"
        << "folder file" << folder + "it is a file, not a folder";
    QTest::newRow("page folder of another user")
        << "ip.htm"
        << "foreign folder" << folder + "it belongs to another user";
    QTest::newRow("page is a planted link")
        << "ip.htm"
        << "page link"
        << "Open File: File: HOME/run/vantrell/ip.htm - Is a symbolic link";
    // The reader's own reason and the program's message come out together.
    QTest::newRow("no template")
        << "ip.htm"
        << "no template"
        << "Tallyhost: Unable to open file: HOME/template.htm (Open File: File: "
           "HOME/template.htm - No such file or directory)";
    // Read where it stands, the key would leave the page in the wrong folder.
    QTest::newRow("key in the wrong section")
        << "ip.htm"
        << "misplaced key"
        << "Tallyhost: Unable to use settings in HOME/config/TallyhostUpdater.ini: UploadDir "
           "under [FTP] belongs under [HTML].";
}

// Refused with one plain line before anything is sent, and a second run meets the same:
// nothing that the first left behind stands in its way or crashes it.
void UnattendedTest::setupThatCannotPublishExitsOne() {
    QFETCH(QString, name);
    QFETCH(QString, plant);
    QFETCH(QString, error);
    error.replace(QStringLiteral("HOME"), m_home->path());
    const QString important = home(QStringLiteral("important.conf"));
    QVERIFY(writeFile(important, "keep\n"));

    QMap<QString, QString> environment;
    const QString runtime = home(QStringLiteral("run"));
    const QString ownFolder = runtime + QStringLiteral("/vantrell");
    QVERIFY(QDir().mkpath(runtime));
    if (!plant.isEmpty()) {
        environment[QStringLiteral("windir")] = QString();
        environment[QStringLiteral("XDG_RUNTIME_DIR")] = runtime;
    }
    if (plant == QLatin1String("folder link")) {
        QVERIFY(QDir().mkpath(home(QStringLiteral("elsewhere"))));
        QVERIFY(QFile::link(home(QStringLiteral("elsewhere")), ownFolder));
    }
    if (plant == QLatin1String("folder file"))
        QVERIFY(writeFile(ownFolder, "not a folder\n"));
    if (plant == QLatin1String("foreign folder")) {
        if (::geteuid() != 0)
            QSKIP("only root can give a folder to another user");
        QVERIFY(QDir().mkpath(ownFolder));
        QCOMPARE(::chown(QFile::encodeName(ownFolder).constData(), 65534, 65534), 0);
    }
    if (plant == QLatin1String("page link")) {
        QVERIFY(QDir().mkpath(ownFolder));
        QVERIFY(QFile::setPermissions(ownFolder,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QFile::link(important, ownFolder + QStringLiteral("/ip.htm")));
    }

    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const QString misplaced = QStringLiteral("[FTP]\nUploadDir=www\n");
    configure(server, server.password(),
              {.more = plant == QLatin1String("misplaced key") ? misplaced : QString(),
               .uploadFileName = name});
    if (plant == QLatin1String("no template"))
        QVERIFY(QFile::remove(home(QStringLiteral("template.htm"))));
    for (int run = 0; run < 2; ++run) {
        QProcess program;
        start(program, environment);
        QVERIFY(program.waitForFinished(60000));
        const QByteArray err = program.readAllStandardError();
        QVERIFY2(err.startsWith(error.toUtf8()), err.constData());
        QCOMPARE(err.count('\n'), 1);
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
    }
    QCOMPARE(server.loginCount(), 0);
    QCOMPARE(readFile(important), QByteArray("keep\n"));
    if (plant == QLatin1String("folder link"))
        QVERIFY(QDir(home(QStringLiteral("elsewhere"))).isEmpty());
}

void UnattendedTest::slowServerStillPublishes() {
    // Every reply of this server takes two seconds, well inside the transfer's time-out.
    FtpServer server;
    QVERIFY2(server.start({.replyDelay = 2s}), qPrintable(server.errorString()));
    configure(server, server.password());
    QProcess program;
    start(program);
    QVERIFY(program.waitForFinished(120000));
    QCOMPARE(program.readAllStandardError(), QByteArray());
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(readFile(server.root() + QStringLiteral("/pub/ip.htm")).startsWith("<p>"));
}

void UnattendedTest::twoRunsAtOnceTakeTurns() {
    FtpServer server;
    QVERIFY2(server.start({.replyDelay = 200ms}), qPrintable(server.errorString()));
    configure(server, server.password());
    QProcess first;
    QProcess second;
    start(first);
    start(second);
    QVERIFY(first.waitForFinished(120000));
    QVERIFY(second.waitForFinished(120000));
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.readAllStandardError() + second.readAllStandardError(), QByteArray());

    // One upload ends (renamed into place) before the other begins.
    QStringList transfer;
    for (const QString& c : server.commands()) {
        if (c.startsWith(QStringLiteral("STOR")) || c.startsWith(QStringLiteral("RNTO")))
            transfer << c.section(QLatin1Char(' '), 0, 0);
    }
    QCOMPARE(transfer, (QStringList{"STOR", "RNTO", "STOR", "RNTO"}));
    QCOMPARE(server.loginCount(), 2);
    QVERIFY(readFile(server.root() + QStringLiteral("/pub/ip.htm")).startsWith("<p>"));

    // Both are in the history, each whole on a line of its own; so again when the two end
    // together just as the history is full and must be cut back.
    QList<QJsonObject> entries = historyEntries();
    QCOMPARE(entries.size(), 2);
    for (const QJsonObject& e : entries)
        QCOMPARE(e.value("result").toString(), QString("published"));
    QByteArray full;
    for (int i = 0; i < 299; ++i)
        full +=
            QJsonDocument(
                QJsonObject{
                    {"time", QString("2026-01-01T00:00:%1.000Z").arg(i % 60, 2, 10, QChar('0'))},
                    {"started", "window"},
                    {"result", "failed"},
                    {"message", QString("old %1").arg(i)}})
                .toJson(QJsonDocument::Compact) +
            '\n';
    QVERIFY(writeFile(history(), full));
    QProcess third;
    QProcess fourth;
    start(third);
    start(fourth);
    QVERIFY(third.waitForFinished(120000));
    QVERIFY(fourth.waitForFinished(120000));
    QCOMPARE(third.exitCode() + fourth.exitCode(), 0);
    entries = historyEntries();
    QVERIFY2(entries.size() <= 300 && entries.size() >= 200,
             qPrintable(QString::number(entries.size())));
    QCOMPARE(entries.at(entries.size() - 1).value("result").toString(), QString("published"));
    QCOMPARE(entries.at(entries.size() - 2).value("result").toString(), QString("published"));
    // The oldest went first.
    QCOMPARE(entries.at(entries.size() - 3).value("message").toString(), QString("old 298"));
}

void UnattendedTest::publishesTheChosenSourcesAddress_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("page");  // pattern of the page's start, when it is published
    QTest::addColumn<QString>("error"); // start of the one line said, when it is not
    // Empty: "<p>%Tallyhost% on %date% at %time%</p>".
    QTest::addColumn<QByteArray>("templateText");
    // "own": a network of the test's own, where "localhost" is 127.0.0.1 to a lookup of any
    // family; "own, 2001:db8::5": this machine also has that global IPv6 address there.
    QTest::addColumn<QString>("network");
    QTest::addColumn<int>("asked");    // requests the web stand-in answered; -1: not counted
    QTest::addColumn<QString>("said"); // part of what --status says then; empty: not asked
    const auto row = [](const char* name, const QString& source, const QString& page,
                        const QString& error, const QByteArray& templateText = {},
                        const QString& network = {}, int asked = -1, const QString& said = {}) {
        QTest::newRow(name) << source << page << error << templateText << network << asked << said;
    };

    const QString web = QStringLiteral("Source=web\nWebURL=");
    const QString router = QStringLiteral("Source=router\nRouterURL=");
    const QString refused = QStringLiteral("Tallyhost: Unable to find the public address: ");
    row("local", "Source=local", "^<p>\\d+\\.\\d+\\.\\d+\\.\\d+ on ", "");
    row("web", web + "say/203.0.113.7", "^<p>203\\.0\\.113\\.7 on ", "");
    row("router", router + "igd/198.51.100.4/desc.xml", "^<p>198\\.51\\.100\\.4 on ", "");
    row("web, private", web + "say/192.168.1.20", "",
        refused + "the web service answered 192.168.1.20, a private address");
    row("router, carrier-grade NAT", router + "igd/100.64.1.1/desc.xml", "",
        refused + "the router answered 100.64.1.1, a carrier-grade NAT address");
    // Nothing listens for STUN there; the router and the web service decide.
    const QString agree = QStringLiteral("Source=auto\nStunServers=127.0.0.1:9\nRouterURL=");
    row("auto", agree + "igd/203.0.113.9/desc.xml\nWebURL=say/203.0.113.9",
        "^<p>203\\.0\\.113\\.9 on ", "");
    row("auto, disagreeing", agree + "igd/203.0.113.9/desc.xml\nWebURL=say/198.51.100.4", "",
        refused + "the router (UPnP) answered 203.0.113.9; ");
    row("unknown source", "Source=upnp", "",
        refused + "there is no address source called \"upnp\"");
    // The package's example settings and template, filled in as the README tells a new user.
    row("shipped example", "example", "(?s)^<!DOCTYPE html>(?!.*%).*<h1>203\\.0\\.113\\.9</h1>",
        "");

    // Both families on one page. The stand-in at "localhost" answers each family its own.
    const QByteArray both = "<p>%Tallyhost% and %Tallyhost6% on %date%</p>\n";
    const QString own6 = QStringLiteral("own, 2001:db8::5");
    row("both markers, local", "Source=local", "^<p>\\d+\\.\\d+\\.\\d+\\.\\d+ and 2001:db8::5 on ",
        "", both, own6);
    row("both markers, local6", "Source=local6", "^<p>2001:db8::5 and 2001:db8::5 on ", "", both,
        own6);
    row("both markers, web", web + "family/203.0.113.7/2001:db8::7",
        "^<p>203\\.0\\.113\\.7 and 2001:db8::7 on ", "", both, "own", 2,
        "Last published: 203.0.113.7 and 2001:db8::7 (web) to ");
    row("both markers, auto",
        agree + "igd/203.0.113.9/desc.xml\nWebURL=family/203.0.113.9/2001:db8::5",
        "^<p>203\\.0\\.113\\.9 and 2001:db8::5 on ", "", both, own6, -1,
        "Last published: 203.0.113.9 and 2001:db8::5 (auto) to ");
    // The router knows no IPv6 address: that marker is left empty and the page goes.
    row("both markers, router", router + "igd/198.51.100.4/desc.xml",
        "^<p>198\\.51\\.100\\.4 and  on ", "", both, {}, -1,
        "\nIPv6:           %Tallyhost6% was left empty: the router tells no IPv6 address.\n");
    // The prefix of the other marker is never read as the other marker.
    row("markers that begin alike", "Source=local\n[HTML]\nIPv6Marker=%Tallyhost",
        "^<p>\\d+\\.\\d+\\.\\d+\\.\\d+6% and 2001:db8::56% on ", "",
        "<p>%Tallyhost%6% and %Tallyhost6% on %date%</p>\n", own6);
    // Without the IPv6 marker nothing is asked over IPv6.
    row("without the IPv6 marker", web + "family/203.0.113.7/2001:db8::7",
        "^<p>203\\.0\\.113\\.7 on ", "", {}, "own", 1);
}

void UnattendedTest::publishesTheChosenSourcesAddress() {
    QFETCH(QString, source);
    QFETCH(QString, page);
    QFETCH(QString, error);
    QFETCH(QByteArray, templateText);
    QFETCH(QString, network);
    QFETCH(int, asked);
    QFETCH(QString, said);
    if (!network.isEmpty()) {
        if (RanInOwnNetwork())
            return;
        const QString address = network.section(QStringLiteral(", "), 1);
        if (!address.isEmpty()) {
            if (!ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"}))
                QSKIP("no virtual network interfaces here (veth)");
            QVERIFY(ip({"addr", "add", address + "/64", "dev", "v0", "nodad"}));
            QVERIFY(ip({"link", "set", "v0", "up"}) && ip({"link", "set", "v1", "up"}));
        }
    }
    if (!templateText.isEmpty())
        QVERIFY(writeFile(home(QStringLiteral("template.htm")), templateText));
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    AddressServer stand;
    QVERIFY2(stand.start({.ipv6 = !network.isEmpty()}), qPrintable(stand.errorString()));
    // The rows name paths on the stand-in, whose address is known only now.
    source.replace(QStringLiteral("URL=family/"),
                   QStringLiteral("URL=") + stand.localhostUrl(QStringLiteral("family/")));
    source.replace(QRegularExpression(QStringLiteral("URL=(?!http)")),
                   QStringLiteral("URL=") + stand.url(QString()));
    QString pagePath = QStringLiteral("/pub/ip.htm");
    if (source == QLatin1String("example")) {
        const QString examples = qEnvironmentVariable("VANTRELL_EXAMPLES");
        QString ini =
            QString::fromUtf8(readFile(examples + QStringLiteral("/TallyhostUpdater.ini")));
        QVERIFY(ini.contains(QStringLiteral("HTMLTemplate=/home/me/")));
        ini.replace(QStringLiteral("/home/me/"), m_home->path() + QLatin1Char('/'));
        const QMap<QString, QString> own = {
            {"FTPSite", server.url().mid(6)},
            {"UserName", server.user()},
            {"Password", server.password()},
            {"WebURL", stand.url(QStringLiteral("say/203.0.113.9"))}};
        for (auto it = own.begin(); it != own.end(); ++it) {
            const QRegularExpression line(QStringLiteral("^%1=.*$").arg(it.key()),
                                          QRegularExpression::MultilineOption);
            QVERIFY2(line.match(ini).hasMatch(), qPrintable(it.key()));
            ini.replace(line, it.key() + QLatin1Char('=') + it.value());
        }
        QVERIFY(writeFile(home(QStringLiteral("config/TallyhostUpdater.ini")), ini.toUtf8()));
        QVERIFY(writeFile(home(QStringLiteral("vantrell-template.htm")),
                          readFile(examples + QStringLiteral("/template.htm"))));
        QVERIFY(QDir(server.root()).mkpath(QStringLiteral("www")));
        pagePath = QStringLiteral("/www/index.htm");
    } else {
        configure(server, server.password(),
                  {.more = QStringLiteral("[Address]\n") + source + '\n'});
    }

    QProcess program;
    start(program);
    QVERIFY(program.waitForFinished(60000));
    const QByteArray err = program.readAllStandardError();
    if (error.isEmpty()) {
        QCOMPARE(err, QByteArray());
        QCOMPARE(program.exitCode(), 0);
        const QString published = QString::fromLatin1(readFile(server.root() + pagePath));
        QVERIFY2(QRegularExpression(page).match(published).hasMatch(), qPrintable(published));
        if (asked >= 0)
            QCOMPARE(stand.requests().size(), asked);
        if (!said.isEmpty()) {
            const QString told = status();
            QVERIFY2(told.contains(said), qPrintable(told));
        }
    } else {
        QCOMPARE(program.exitCode(), 1);
        QVERIFY2(err.startsWith(error.toUtf8()), err.constData());
        QCOMPARE(err.count('\n'), 1);
        // Nothing was made, let alone sent.
        QCOMPARE(server.connectionCount(), 0);
        QVERIFY(!QFile::exists(m_home->filePath(QStringLiteral("win/temp/ip.htm"))));
    }
}

void UnattendedTest::publishesOnlyWhenSomethingChanged() {
    // Where "localhost" is 127.0.0.1 to a lookup of any family.
    if (RanInOwnNetwork())
        return;
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    AddressServer web;
    QVERIFY2(web.start({.ipv6 = true}), qPrintable(web.errorString()));
    const auto settings = [&](const QString& address, const QString& dir = QStringLiteral("pub"),
                              const QString& password = {}) {
        // "v4/v6": each family's own answer.
        const QString url = address.contains(QLatin1Char('/'))
                                ? web.localhostUrl(QStringLiteral("family/") + address)
                                : web.say(address);
        configure(server, password.isEmpty() ? server.password() : password,
                  {.more = QStringLiteral("[Address]\nSource=web\nWebURL=%1\nOnlyWhenChanged=True\n"
                                          "RefreshDays=25\n")
                               .arg(url),
                   .dir = dir});
    };
    const QString page = server.root() + QStringLiteral("/pub/ip.htm");

    settings(QStringLiteral("203.0.113.7"));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 1);
    QVERIFY(readFile(page).startsWith("<p>203.0.113.7 "));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 1); // nothing changed: not even a connection

    settings(QStringLiteral("203.0.113.8")); // a new address
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 2);
    QVERIFY(readFile(page).startsWith("<p>203.0.113.8 "));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 2);

    QVERIFY(writeFile(m_home->filePath(QStringLiteral("template.htm")), "<p>%Tallyhost%</p>\n"));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 3);
    QCOMPARE(readFile(page), QByteArray("<p>203.0.113.8</p>\r\n"));

    settings(QStringLiteral("203.0.113.8"), QStringLiteral("www")); // another directory
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 4);
    QVERIFY(QFile::exists(server.root() + QStringLiteral("/www/ip.htm")));

    // The last upload was 26 days ago: due again, however little changed.
    const QString state = m_home->filePath(QStringLiteral("state/vantrell/published.json"));
    QJsonObject kept = QJsonDocument::fromJson(readFile(state)).object();
    QVERIFY(kept.contains(QStringLiteral("published")));
    kept[QStringLiteral("published")] =
        QDateTime::currentDateTimeUtc().addDays(-26).toString(Qt::ISODate);
    QVERIFY(writeFile(state, QJsonDocument(kept).toJson()));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 5);
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 5);

    // A pipe in the record's place is no record, and is never waited for.
    QVERIFY(QFile::remove(state));
    QCOMPARE(::mkfifo(QFile::encodeName(state).constData(), 0600), 0);
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 6);
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 6);

    // A page with both families: the IPv6 address alone changes.
    QVERIFY(writeFile(m_home->filePath(QStringLiteral("template.htm")),
                      "<p>%Tallyhost% %Tallyhost6%</p>\n"));
    settings(QStringLiteral("203.0.113.8/2001:db8::7"));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 7);
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 7);
    settings(QStringLiteral("203.0.113.8/2001:db8::8"));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 8);
    QCOMPARE(readFile(page), QByteArray("<p>203.0.113.8 2001:db8::8</p>\r\n"));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 8);

    // A changed password is a change too: tried, and a wrong one is no success. The record
    // keeps no trace of either password.
    settings(QStringLiteral("203.0.113.8/2001:db8::8"), QStringLiteral("pub"),
             QStringLiteral("Wr0ng-s3cret"));
    QByteArray errors;
    QCOMPARE(publish(&errors), 1);
    QCOMPARE(server.connectionCount(), 9);
    const QByteArray record = readFile(state);
    QVERIFY(!record.contains("Wr0ng-s3cret"));
    QVERIFY(!record.contains(server.password().toUtf8()));
    QVERIFY(record.contains("\"login\""));
    settings(QStringLiteral("203.0.113.8/2001:db8::8"));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 9);
}

void UnattendedTest::failuresAreNoticedOnce_data() {
    // Each run: "ok", "fail" (a wrong password) or "unseen" (uploaded where visitors find
    // nothing), the address the web service gives, and "desktop" when a notification server is
    // on the session bus.
    QTest::addColumn<QStringList>("runs");
    // The notice each run gives, by its summary; empty for none.
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<bool>("askedForChanges");
    const QString failing = QStringLiteral("Vantrell could not publish the page");
    const QString again = QStringLiteral("Vantrell publishes the page again");
    const QString changed = QStringLiteral("The published address changed");
    QTest::newRow("desktop there throughout")
        << QStringList{"fail 203.0.113.7 desktop", "fail 203.0.113.7 desktop",
                       "ok 203.0.113.7 desktop", "ok 203.0.113.7 desktop",
                       "fail 203.0.113.7 desktop"}
        << QStringList{failing, "", again, "", failing} << false;
    QTest::newRow("desktop comes during the streak")
        << QStringList{"fail 203.0.113.7", "fail 203.0.113.7 desktop", "ok 203.0.113.7 desktop"}
        << QStringList{"", failing, again} << false;
    QTest::newRow("streak nobody was told of")
        << QStringList{"fail 203.0.113.7", "ok 203.0.113.7 desktop"} << QStringList{"", ""}
        << false;
    QTest::newRow("new address, notice asked for")
        << QStringList{"ok 203.0.113.7 desktop", "ok 203.0.113.8 desktop", "ok 203.0.113.8 desktop"}
        << QStringList{"", changed, ""} << true;
    QTest::newRow("uploaded where visitors do not see it")
        << QStringList{"unseen 203.0.113.7 desktop", "unseen 203.0.113.7 desktop",
                       "ok 203.0.113.7 desktop"}
        << QStringList{"Visitors do not see the published page", "", again} << false;
    QTest::newRow("new address, no notice asked for")
        << QStringList{"ok 203.0.113.7 desktop", "ok 203.0.113.8 desktop"} << QStringList{"", ""}
        << false;
}

// A timer that fails every quarter of an hour tells the desktop once, and once more when it
// works again; standard error says what it always said.
void UnattendedTest::failuresAreNoticedOnce() {
    QFETCH(QStringList, runs);
    QFETCH(QStringList, notices);
    QFETCH(bool, askedForChanges);
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    AddressServer web;
    QVERIFY2(web.start(), qPrintable(web.errorString()));
    SessionBusDaemon bus;
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    BusStandIns standIns(bus.address());
    auto* desktop = new NotificationStandIn;
    QVERIFY(standIns.serve(QStringLiteral("org.freedesktop.Notifications"),
                           QStringLiteral("/org/freedesktop/Notifications"), desktop));
    QTemporaryDir empty;
    PageServer site;
    QVERIFY2(site.start({.root = empty.path()}), qPrintable(site.errorString()));

    qsizetype seen = 0;
    for (qsizetype i = 0; i < runs.size(); ++i) {
        const QStringList words = runs.at(i).split(QLatin1Char(' '));
        const bool ok = words.at(0) == QLatin1String("ok");
        const bool unseen = words.at(0) == QLatin1String("unseen");
        configure(
            server, ok || unseen ? server.password() : QStringLiteral("Not-the-Password"),
            {.more = QStringLiteral("PageURL=%1\n[Address]\nSource=web\nWebURL=%2\n"
                                    "NoticeOnChange=%3\n")
                         .arg(unseen ? site.url(QStringLiteral("ip.htm")) : QString(),
                              web.say(words.at(1)),
                              askedForChanges ? QStringLiteral("True") : QStringLiteral("False"))});
        QMap<QString, QString> environment;
        // Without a desktop there is no session bus either, as under cron.
        if (words.contains(QStringLiteral("desktop")))
            environment[QStringLiteral("DBUS_SESSION_BUS_ADDRESS")] = bus.address();
        QProcess program;
        start(program, environment);
        QVERIFY(program.waitForFinished(60000));
        const QByteArray err = program.readAllStandardError();
        QCOMPARE(program.exitCode(), ok ? 0 : 1);
        if (ok)
            QCOMPARE(err, QByteArray());
        else
            QVERIFY2(err.startsWith(unseen ? "Tallyhost: Uploaded, not seen: "
                                           : "Tallyhost: Unable to upload file: ") &&
                         err.count('\n') == 1,
                     err.constData());

        const QList<NotificationStandIn::Notice> given = desktop->notices().mid(seen);
        seen += given.size();
        QStringList summaries;
        for (const NotificationStandIn::Notice& n : given)
            summaries << n.summary;
        QCOMPARE(summaries, notices.at(i).isEmpty() ? QStringList() : QStringList{notices.at(i)});
        if (given.isEmpty())
            continue;
        const NotificationStandIn::Notice& notice = given.constFirst();
        if (!ok) {
            // The reason as standard error gave it, and a notice that stays until it is seen.
            QCOMPARE(notice.body.toUtf8() + '\n', err.mid(err.indexOf(": ") + 2));
            QCOMPARE(notice.urgency, 2);
        } else if (askedForChanges) {
            QCOMPARE(notice.body, server.url().mid(6) + QStringLiteral("/pub/ip.htm now shows ") +
                                      words.at(1) + QStringLiteral(" instead of 203.0.113.7."));
        } else {
            QCOMPARE(notice.body, words.at(1) + QStringLiteral(" is published on ") +
                                      server.url().mid(6) + QStringLiteral("/pub/ip.htm."));
        }
    }
}

void UnattendedTest::pageIsLookedAtWhereVisitorsOpenIt_data() {
    // What the web server shows: the FTP server's folder ("ftp"), or a folder of its own with
    // another page ("another page") or without one ("nothing"); "stale": a copy the site held
    // before stays for two seconds after the upload; "https", "https for another name"; "none":
    // no PageURL at all.
    QTest::addColumn<QString>("web");
    // How standard error and --check say that visitors do not see it (URL for the page's
    // address); empty when they do.
    QTest::addColumn<QString>("said");
    QTest::newRow("seen") << "ftp"
                          << "";
    QTest::newRow("seen over HTTPS") << "ftp https"
                                     << "";
    QTest::newRow("seen once a cache let go of its copy") << "ftp stale"
                                                          << "";
    QTest::newRow("the classic wrong folder") << "another page"
                                              << "URL shows another page: ";
    QTest::newRow("nothing there") << "nothing"
                                   << "nothing at URL (HTTP 404): the upload folder or file name "
                                      "may not be the ones the web server shows";
    QTest::newRow("a certificate for another name")
        << "ftp https for another name"
        << "browsers refuse the secure connection to URL: ";
    QTest::newRow("no page address") << "none"
                                     << "";
}

// After every upload the page is fetched where visitors open it: what they see there decides
// the exit status, the history and --status, and --check says it again at any time.
void UnattendedTest::pageIsLookedAtWhereVisitorsOpenIt() {
    QFETCH(QString, web);
    QFETCH(QString, said);
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    AddressServer address;
    QVERIFY2(address.start(), qPrintable(address.errorString()));
    QTemporaryDir elsewhere;
    if (web.startsWith(QLatin1String("another")))
        QVERIFY(QDir(elsewhere.path()).mkpath(QStringLiteral("pub")) &&
                writeFile(elsewhere.filePath(QStringLiteral("pub/ip.htm")), "<h1>Welcome</h1>\n"));
    PageServer site;
    const bool https = web.contains(QLatin1String("https"));
    const bool stale = web.contains(QLatin1String("stale"));
    QVERIFY2(
        site.start({.root = web.startsWith(QLatin1String("ftp")) ? server.root() : elsewhere.path(),
                    .staleSeconds = stale ? 2 : 0,
                    .tls = !https ? PageServer::Options::Tls::None
                           : web.contains(QLatin1String("another name"))
                               ? PageServer::Options::Tls::ForAnotherName
                               : PageServer::Options::Tls::ForThisHost}),
        qPrintable(site.errorString()));
    const QString url = site.url(QStringLiteral("pub/ip.htm"));
    const bool looked = web != QLatin1String("none");
    configure(
        server, server.password(),
        {.more = QStringLiteral("PageURL=%1\n[Address]\nSource=web\nWebURL=%2\n")
                     .arg(looked ? url : QString(), address.say(QStringLiteral("203.0.113.7")))});
    QMap<QString, QString> environment;
    if (https)
        environment[QStringLiteral("SSL_CERT_FILE")] = site.authorityFile();

    QByteArray errors;
    if (stale) {
        // The page the site holds on to for a while.
        QCOMPARE(publish(&errors, environment), 0);
        QVERIFY(writeFile(home(QStringLiteral("template.htm")), "<p>%Tallyhost% anew</p>\n"));
    }
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(publish(&errors, environment), said.isEmpty() ? 0 : 1);
    said.replace(QStringLiteral("URL"), url);
    const QString unseen = QStringLiteral("Uploaded, not seen: ") + said;
    QCOMPARE(QString::fromUtf8(errors).left(unseen.size() + 11),
             said.isEmpty() ? QString() : QStringLiteral("Tallyhost: ") + unseen);
    QVERIFY(errors.count('\n') <= 1);
    QVERIFY2(!stale || clock.elapsed() >= 1000, "seen only after another look");
    // What was uploaded stays uploaded, once.
    QVERIFY(readFile(server.root() + QStringLiteral("/pub/ip.htm")).startsWith("<p>203.0.113.7"));
    QCOMPARE(server.loginCount(), stale ? 2 : 1);

    const QJsonObject last = historyEntries().constLast();
    QCOMPARE(last.value("result").toString(), said.isEmpty() ? "published" : "not seen");
    QCOMPARE(last.value("checked").toString(), looked ? url : QString());
    QVERIFY(looked || site.requests().isEmpty());
    const QString shown = this->status(environment);
    QVERIFY2(shown.contains(!looked          ? "\nFailures since: "
                            : said.isEmpty() ? "\nWeb page:       Published and seen at " + url
                                             : "\nWeb page:       " + unseen),
             qPrintable(shown));
    QCOMPARE(shown.contains(QLatin1String("Web page:")), looked);

    QString checked;
    QCOMPARE(check(&checked, environment), said.isEmpty() && looked ? 0 : 1);
    if (looked)
        QVERIFY2(said.isEmpty() ? checked.startsWith(url + " shows 203.0.113.7, published ") &&
                                      checked.endsWith(": the current address.\n")
                                : checked.startsWith(said),
                 qPrintable(checked));
}

// With OnlyWhenChanged a run that uploads nothing still looks at the page, and uploads it again
// when the site shows something else, once.
void UnattendedTest::unchangedRunsLookAndPublishAgainOnce() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    AddressServer address;
    QVERIFY2(address.start(), qPrintable(address.errorString()));
    PageServer site;
    QVERIFY2(site.start({.root = server.root()}), qPrintable(site.errorString()));
    const auto settings = [&](const QString& path, const QString& published) {
        configure(server, server.password(),
                  {.more = QStringLiteral("PageURL=%1\n[Address]\nSource=web\nWebURL=%2\n"
                                          "OnlyWhenChanged=True\n")
                               .arg(site.url(path), address.say(published))});
    };
    const QString page = server.root() + QStringLiteral("/pub/ip.htm");
    settings(QStringLiteral("pub/ip.htm"), QStringLiteral("203.0.113.7"));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 1);

    // Nothing changed and the site shows the page: looked at, not uploaded.
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(site.requests().size(), 2);
    QVERIFY2(status().contains("\nLast attempt:   unchanged at "), qPrintable(status()));
    QVERIFY2(
        status().contains(", by an unattended run (/A); seen at " + site.url("pub/ip.htm") + "\n"),
        qPrintable(status()));

    // Overwritten by something else: uploaded again.
    const QByteArray ours = readFile(page);
    QVERIFY(writeFile(page, "<p>someone else's page</p>\n"));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 2);
    QVERIFY(readFile(page).startsWith("<p>203.0.113.7 "));
    QCOMPARE(historyEntries().constLast().value("result").toString(), QString("published"));

    // A copy restored from a backup is an older page of ours: uploaded again as well.
    QVERIFY(writeFile(m_home->filePath(QStringLiteral("template.htm")), "<p>%Tallyhost%</p>\n"));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 3);
    QVERIFY(writeFile(page, ours));
    QVERIFY(runsQuietly());
    QCOMPARE(server.connectionCount(), 4);
    QCOMPARE(readFile(page), QByteArray("<p>203.0.113.7</p>\r\n"));

    // Where the site shows another page whatever is uploaded: one upload more, then said.
    QVERIFY(QDir(server.root()).mkpath(QStringLiteral("www")));
    QVERIFY(writeFile(server.root() + QStringLiteral("/www/ip.htm"), "<h1>Welcome</h1>\n"));
    settings(QStringLiteral("www/ip.htm"), QStringLiteral("203.0.113.7"));
    QByteArray errors;
    QCOMPARE(publish(&errors), 1);
    QCOMPARE(server.connectionCount(), 5);
    QVERIFY2(errors.startsWith("Tallyhost: Uploaded, not seen: " + site.url("www/ip.htm").toUtf8() +
                               " shows another page: "),
             errors.constData());

    // --check compares what the page shows with the address the source gives now.
    settings(QStringLiteral("pub/ip.htm"), QStringLiteral("203.0.113.8"));
    QString said;
    QCOMPARE(check(&said), 1);
    QVERIFY2(said.startsWith(site.url("pub/ip.htm") + " shows 203.0.113.7, published "),
             qPrintable(said));
    QVERIFY2(said.endsWith(", but the current address is 203.0.113.8.\n"), qPrintable(said));
}

void UnattendedTest::scheduleFromTheCommandLine_data() {
    QTest::addColumn<QString>("value"); // what follows --schedule, split at spaces
    // What answers on the session bus: "systemd", "systemd refusing METHOD", "nobody", or
    // "no bus" at all.
    QTest::addColumn<QString>("bus");
    QTest::addColumn<int>("status");
    // The start of what it says: on standard output with status 0, else standard error.
    QTest::addColumn<QString>("said");
    // Lines the unit in place holds: every line with the same keys, in order. Empty when none is
    // in place.
    QTest::addColumn<QStringList>("unitLines");
    const QString refused = QStringLiteral("Tallyhost: Unable to publish on a schedule: ");
    const QString usage = QStringLiteral("Tallyhost: --schedule takes a number of minutes from 5 "
                                         "to 1440, \"changes\" with or without one, or \"off\" "
                                         "(not \"%1\").");
    QTest::newRow("every 15 minutes")
        << "15"
        << "systemd" << 0 << "On: publishing every 15 minutes, next run at "
        << QStringList{"OnCalendar=*-*-* *:00,15,30,45:00"};
    // The runs keep to the same times every day, every 90 minutes from midnight.
    QTest::newRow("every 90 minutes")
        << "90"
        << "systemd" << 0 << "On: publishing every 90 minutes, next run at "
        << QStringList{"OnCalendar=*-*-* 00,03,06,09,12,15,18,21:00:00",
                       "OnCalendar=*-*-* 01,04,07,10,13,16,19,22:30:00"};
    QTest::newRow("once a day") << "1440"
                                << "systemd" << 0 << "On: publishing every 1440 minutes"
                                << QStringList{"OnCalendar=*-*-* 00:00:00"};
    const QString program = QFileInfo(qEnvironmentVariable("VANTRELL_BINARY")).canonicalFilePath();
    const auto watcher = [&program](int minutes) {
        return QStringList{"Type=notify", "NotifyAccess=main",
                           QStringLiteral("ExecStart=\"%1\" --watch %2").arg(program).arg(minutes),
                           "WatchdogSec=5min", "Restart=on-failure"};
    };
    QTest::newRow("as soon as the address changes")
        << "changes"
        << "systemd" << 0
        << "On: publishing as soon as the address changes, checking every 15 minutes as well.\n"
        << watcher(15);
    QTest::newRow("as soon as the address changes, checking every 10 minutes")
        << "changes 10"
        << "systemd" << 0
        << "On: publishing as soon as the address changes, checking every 10 minutes as well.\n"
        << watcher(10);
    QTest::newRow("no systemd on the bus")
        << "15"
        << "nobody" << 1
        << refused + "no systemd user manager answers on the session bus; to publish from cron "
                     "instead (package cron), add the lines below with crontab -e."
        << QStringList();
    // The timer's lines are offered instead.
    QTest::newRow("watching without systemd")
        << "changes"
        << "nobody" << 1
        << "Tallyhost: Unable to publish when the address changes: no systemd user manager "
           "answers on the session bus; watching needs a user service manager. To publish every "
           "15 minutes from cron instead (package cron), add the lines below with crontab -e.\n"
        << QStringList();
    QTest::newRow("no session bus")
        << "15"
        << "no bus" << 1 << refused + "no session bus is reachable" << QStringList();
    QTest::newRow("systemd refuses to enable it")
        << "15"
        << "systemd refusing EnableUnitFiles" << 1 << refused + "Access denied." << QStringList();
    QTest::newRow("systemd refuses to start the watcher")
        << "changes"
        << "systemd refusing RestartUnit" << 1
        << "Tallyhost: Unable to publish when the address changes: Access denied.\n"
        << QStringList();
    QTest::newRow("too often") << "4"
                               << "systemd" << 1 << usage.arg("4") << QStringList();
    QTest::newRow("checking too often")
        << "changes 4"
        << "systemd" << 1 << usage.arg("changes 4") << QStringList();
    QTest::newRow("no number") << "soon"
                               << "systemd" << 1 << usage.arg("soon") << QStringList();
    QTest::newRow("off when it was never on")
        << "off"
        << "systemd" << 0 << "Publishing on a schedule is off." << QStringList();
}

// "vantrell --schedule" over SSH: the schedule is in place, read back from systemd, or nothing
// of it is, with one line that says why.
void UnattendedTest::scheduleFromTheCommandLine() {
    QFETCH(QString, value);
    QFETCH(QString, bus);
    QFETCH(int, status);
    QFETCH(QString, said);
    QFETCH(QStringList, unitLines);
    const QString units = home(QStringLiteral("config/systemd/user"));
    const bool watching = value.startsWith(QLatin1String("changes"));
    const QString timer = units + QStringLiteral("/vantrell-schedule.timer");
    const QString service = units + QStringLiteral("/vantrell-schedule.service");
    const QString watcher = units + QStringLiteral("/vantrell-watch.service");
    const QDateTime next(QDate(2031, 1, 2), QTime(3, 4));

    SessionBusDaemon daemon;
    QVERIFY2(daemon.start(), qPrintable(daemon.errorString()));
    BusStandIns standIns(daemon.address());
    auto* systemd = new SystemdStandIn(units, next);
    if (bus.contains(QLatin1String("refusing")))
        systemd->refuse(bus.section(QLatin1Char(' '), 2));
    // Served on the bus or not, the stand-ins go with it.
    QVERIFY(standIns.serve(bus.startsWith(QLatin1String("systemd"))
                               ? QStringLiteral("org.freedesktop.systemd1")
                               : QStringLiteral("org.example.Unrelated"),
                           QStringLiteral("/org/freedesktop/systemd1"), systemd));
    QMap<QString, QString> environment;
    if (bus != QLatin1String("no bus"))
        environment[QStringLiteral("DBUS_SESSION_BUS_ADDRESS")] = daemon.address();
    const auto schedule = [&](const QString& v, QByteArray& out, QByteArray& err) {
        QProcess program;
        start(program, environment, QStringList{QStringLiteral("--schedule")} + v.split(u' '));
        if (!program.waitForFinished(60000))
            return -1;
        out = program.readAllStandardOutput();
        err = program.readAllStandardError();
        return program.exitCode();
    };

    QByteArray out;
    QByteArray err;
    QCOMPARE(schedule(value, out, err), status);
    QVERIFY2((status == 0 ? out : err).startsWith(said.toUtf8()), (out + err).constData());
    QCOMPARE((status == 0 ? out : err).count('\n'), 1);
    if (status == 0)
        QCOMPARE(err, QByteArray());
    const QString program = QFileInfo(qEnvironmentVariable("VANTRELL_BINARY")).canonicalFilePath();
    if (bus == QLatin1String("nobody"))
        QCOMPARE(QString::fromLocal8Bit(out),
                 QStringLiteral("0,15,30,45 * * * * '%1' /A\n").arg(program));
    // --status reads the schedule back from the system as it now stands.
    const QString shown = this->status(environment).section(u'\n', 0, 0);
    const QString expected = !unitLines.isEmpty() ? QString::fromUtf8(out).trimmed()
                             : bus == "nobody" || bus == "no bus"
                                 ? QStringLiteral("Not available: ")
                                 : QStringLiteral("Off: the page is published only "
                                                  "when you upload it.");
    QVERIFY2(shown.startsWith("Schedule:       " + expected), qPrintable(shown));
    if (unitLines.isEmpty()) {
        // Nothing half-done: no unit is left behind to confuse the next attempt.
        QVERIFY(!QFile::exists(timer));
        QVERIFY(!QFile::exists(service));
        QVERIFY(!QFile::exists(watcher));
        return;
    }

    // Only the kind asked for is in place.
    QCOMPARE(QFile::exists(timer), !watching);
    QCOMPARE(QFile::exists(service), !watching);
    QCOMPARE(QFile::exists(watcher), watching);
    QStringList keys;
    for (const QString& line : unitLines)
        keys << line.section(u'=', 0, 0);
    QStringList kept;
    for (const QString& line : QString::fromUtf8(readFile(watching ? watcher : timer)).split(u'\n'))
        if (keys.contains(line.section(u'=', 0, 0)))
            kept << line;
    QCOMPARE(kept, unitLines);
    if (!watching) {
        QVERIFY2(out.contains(QLocale().toString(next, QLocale::ShortFormat).toUtf8()),
                 out.constData());
        QVERIFY(QString::fromUtf8(readFile(timer))
                    .split(QLatin1Char('\n'))
                    .contains(QStringLiteral("Persistent=true")));
        QVERIFY(QString::fromUtf8(readFile(service))
                    .split(QLatin1Char('\n'))
                    .contains(QStringLiteral("ExecStart=\"%1\" /A").arg(program)));
    }
    // Files written, then read by the manager, then the unit enabled and started, in that order.
    const QString unit = watching ? QStringLiteral("vantrell-watch.service")
                                  : QStringLiteral("vantrell-schedule.timer");
    QStringList changes = systemd->calls();
    changes.removeAll(QStringLiteral("LoadUnit vantrell-schedule.timer"));
    changes.removeAll(QStringLiteral("LoadUnit vantrell-watch.service"));
    QCOMPARE(changes, (QStringList{"Reload", "EnableUnitFiles " + unit, "RestartUnit " + unit}));

    // What systemd itself makes of the files.
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty()) {
        qWarning("systemd-analyze is not installed: the units are not verified");
    } else {
        QProcess verify;
        verify.start(analyze, QStringList{QStringLiteral("verify"), QStringLiteral("--man=no")} +
                                  (watching ? QStringList{watcher} : QStringList{timer, service}));
        QVERIFY(verify.waitForFinished(60000));
        const QByteArray problems = verify.readAllStandardError();
        QVERIFY2(verify.exitCode() == 0 && problems.isEmpty(), problems.constData());
    }

    QCOMPARE(schedule(QStringLiteral("off"), out, err), 0);
    QCOMPARE(out, QByteArray("Publishing on a schedule is off.\n"));
    QCOMPARE(err, QByteArray());
    QVERIFY(!QFile::exists(timer));
    QVERIFY(!QFile::exists(service));
    QVERIFY(!QFile::exists(watcher));
    QVERIFY(systemd->calls().contains("StopUnit " + unit));
    QVERIFY(systemd->calls().contains("DisableUnitFiles " + unit));
}

void UnattendedTest::statusTellsWhatTheWatcherSays_data() {
    QTest::addColumn<QString>("state"); // the watcher's state, empty when it wrote nothing
    QTest::addColumn<bool>("runs");     // whether a watcher with its id runs
    QTest::addColumn<QString>("said");  // the line after the schedule's; empty: none
    const QString watching = QStringLiteral(
        "Watcher:        Watching since 2024-03-05 09:00:00: last check 2024-03-05 10:55:00, "
        "last event 2024-03-05 10:50:00 (network change), next safety check 2024-03-05 11:10:00");
    QTest::newRow("no watcher") << QString() << false << QString();
    QTest::newRow("watching") << "published" << true << watching;
    QTest::newRow("failing") << "failing" << true
                             << watching + "; failing: Unable to upload file: 530 Login incorrect.";
    QTest::newRow("the watcher has ended")
        << "published" << false
        << "Watcher:        not running; its last check at 2024-03-05 10:55:00";
}

// --status says what the watcher wrote of itself, and whether it still runs: never a guess.
void UnattendedTest::statusTellsWhatTheWatcherSays() {
    QFETCH(QString, state);
    QFETCH(bool, runs);
    QFETCH(QString, said);
    // A watcher as far as anyone can tell from outside: --watch among its arguments.
    QProcess watcher;
    watcher.start(QStringLiteral("sh"),
                  {QStringLiteral("-c"), QStringLiteral("while :; do sleep 1; done"),
                   runs ? QStringLiteral("--watch") : QStringLiteral("x")});
    QVERIFY(watcher.waitForStarted());
    if (!state.isEmpty()) {
        const auto at = [](int hour, int minute) {
            return QDateTime(QDate(2024, 3, 5), QTime(hour, minute)).toUTC().toString(Qt::ISODate);
        };
        const QJsonObject o{{"pid", watcher.processId()},
                            {"since", at(9, 0)},
                            {"lastCheck", at(10, 55)},
                            {"lastEvent", at(10, 50)},
                            {"lastEventKind", "network"},
                            {"nextSafetyCheck", at(11, 10)},
                            {"state", state},
                            {"message", "Unable to upload file: 530 Login incorrect."},
                            {"address", "203.0.113.7"}};
        QVERIFY(QDir().mkpath(home(QStringLiteral("state/vantrell"))));
        QVERIFY(writeFile(home(QStringLiteral("state/vantrell/watch.json")),
                          QJsonDocument(o).toJson()));
    }
    const QStringList lines = status().split(u'\n');
    watcher.kill();
    watcher.waitForFinished();
    QVERIFY2(lines.value(0).startsWith(QLatin1String("Schedule:")), qPrintable(lines.join('\n')));
    if (said.isEmpty())
        QVERIFY2(lines.value(1).startsWith(QLatin1String("Last published:")),
                 qPrintable(lines.value(1)));
    else
        QCOMPARE(lines.value(1), said);
}

// Runs of "--schedule" at once, each asked while the one before is still at work with a slow
// manager: the schedule in place is the last one asked for, and each run says what became of
// its own.
void UnattendedTest::severalSchedulesAtOnceEndWithTheLast() {
    const QString units = home(QStringLiteral("config/systemd/user"));
    SessionBusDaemon daemon;
    QVERIFY2(daemon.start(), qPrintable(daemon.errorString()));
    BusStandIns standIns(daemon.address());
    auto* systemd = new SystemdStandIn(units, QDateTime(QDate(2031, 1, 2), QTime(3, 4)));
    systemd->delay(QStringLiteral("Reload"), 500ms);
    QVERIFY(standIns.serve(QStringLiteral("org.freedesktop.systemd1"),
                           QStringLiteral("/org/freedesktop/systemd1"), systemd));
    const QMap<QString, QString> environment{
        {QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), daemon.address()}};
    const QStringList asked{QStringLiteral("15"), QStringLiteral("30"), QStringLiteral("off"),
                            QStringLiteral("45")};
    std::vector<std::unique_ptr<QProcess>> runs;
    for (const QString& minutes : asked) {
        runs.push_back(std::make_unique<QProcess>());
        start(*runs.back(), environment, {QStringLiteral("--schedule"), minutes});
        QTest::qWait(200);
    }
    for (const auto& run : runs) {
        // One that ended while the next was started has been told so already.
        QVERIFY(run->state() == QProcess::NotRunning || run->waitForFinished(60000));
        const QByteArray said = run->readAllStandardOutput() + run->readAllStandardError();
        QVERIFY2(said.count('\n') == 1, said.constData());
        if (run->exitCode() != 0)
            QVERIFY2(said.contains("a change of the schedule asked for after this one"),
                     said.constData());
    }
    QCOMPARE(runs.back()->exitCode(), 0);
    QVERIFY2(status(environment).startsWith("Schedule:       On: publishing every 45 minutes"),
             qPrintable(status(environment)));
}

QString UnattendedTest::status(const QMap<QString, QString>& environment) {
    QProcess program;
    start(program, environment, {QStringLiteral("--status")});
    if (!program.waitForFinished(60000) || program.exitCode() != 0 ||
        !program.readAllStandardError().isEmpty())
        return {};
    return QString::fromUtf8(program.readAllStandardOutput());
}

int UnattendedTest::check(QString* said, const QMap<QString, QString>& environment) {
    QProcess program;
    start(program, environment, {QStringLiteral("--check")});
    if (!program.waitForFinished(60000))
        return -1;
    *said = QString::fromUtf8(program.readAllStandardOutput());
    // Whatever it says, it says on one line.
    if (said->count(QLatin1Char('\n')) + program.readAllStandardError().count('\n') != 1)
        return -1;
    return program.exitCode();
}

QList<QJsonObject> UnattendedTest::historyEntries() {
    QList<QJsonObject> entries;
    for (const QByteArray& line : readFile(history()).split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (!doc.isObject())
            qWarning("not an entry: %s", line.constData());
        entries << doc.object();
    }
    return entries;
}

// Every attempt is kept, from the schedule as from the window, and --status reads it back
// without a display: the last publish, the failures since, the last attempt.
void UnattendedTest::historyAndStatusTellWhatHappened() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    AddressServer web;
    QVERIFY2(web.start(), qPrintable(web.errorString()));
    const QString where = server.url().mid(6) + QStringLiteral("/pub/ip.htm");
    const auto settings = [&](const QString& password) {
        configure(
            server, password,
            {.more = QStringLiteral("[Address]\nSource=web\nWebURL=%1\nOnlyWhenChanged=True\n")
                         .arg(web.say(QStringLiteral("203.0.113.7")))});
    };
    const QRegularExpression stamp(QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d"));

    // Without a session bus nothing can tell whether a schedule runs.
    QString said = status();
    QVERIFY2(said.startsWith("Schedule:       Not available: no session bus is reachable "
                             "(DBUS_SESSION_BUS_ADDRESS is not set).\n"
                             "Last published: nothing yet\nFailures:       none\n"),
             qPrintable(said));

    settings(server.password());
    // Started by the program's own timer, whose unit says so; the runs after it are "/A" typed
    // by hand.
    qputenv("VANTRELL_STARTED_BY", "schedule");
    QVERIFY(runsQuietly());
    qunsetenv("VANTRELL_STARTED_BY");
    said = status();
    QVERIFY2(QRegularExpression("\nLast published: 203\\.0\\.113\\.7 \\(web\\) to " +
                                QRegularExpression::escape(where) + " at " + stamp.pattern() +
                                ", by the schedule\n")
                 .match(said)
                 .hasMatch(),
             qPrintable(said));
    QVERIFY2(said.contains("\nFailures since: none\n"), qPrintable(said));

    QVERIFY(runsQuietly()); // nothing changed
    said = status();
    QVERIFY2(said.contains("\nLast attempt:   unchanged at "), qPrintable(said));

    settings(QStringLiteral("Not-the-Password"));
    QVERIFY(writeFile(m_home->filePath(QStringLiteral("template.htm")), "<p>%Tallyhost%</p>\n"));
    for (int run = 0; run < 2; ++run) {
        QByteArray errors;
        QCOMPARE(publish(&errors), 1);
    }
    said = status();
    QVERIFY2(said.contains("\nLast published: 203.0.113.7 (web) to " + where), qPrintable(said));
    QVERIFY2(QRegularExpression("\nFailures since: 2, the last at " + stamp.pattern() +
                                ", by an unattended run \\(/A\\): Unable to upload file: .*530")
                 .match(said)
                 .hasMatch(),
             qPrintable(said));
    QVERIFY2(said.contains("\nLast attempt:   failed at "), qPrintable(said));

    // What the history holds, and what it never holds.
    const QList<QJsonObject> entries = historyEntries();
    QStringList results;
    QStringList started;
    for (const QJsonObject& e : entries) {
        results << e.value("result").toString();
        started << e.value("started").toString();
        QCOMPARE(e.value("source").toString(), QString("web"));
        QCOMPARE(e.value("address").toString(), QString("203.0.113.7"));
        QCOMPARE(e.value("directory").toString(), QString("pub"));
        QCOMPARE(e.value("file").toString(), QString("ip.htm"));
    }
    QCOMPARE(results, QStringList({"published", "unchanged", "failed", "failed"}));
    QCOMPARE(started, QStringList({"schedule", "unattended", "unattended", "unattended"}));
    const QByteArray kept = readFile(history());
    QVERIFY(!kept.contains(server.password().toUtf8()));
    QVERIFY(!kept.contains("Not-the-Password"));
    QVERIFY(!kept.contains(server.user().toUtf8()));
    QCOMPARE(modeOf(QFileInfo(history()).path()), 0700);
}

void UnattendedTest::damagedHistoryEntriesAreSkipped_data() {
    QTest::addColumn<QByteArray>("damage");
    QTest::newRow("half an entry at the end") << QByteArray("{\"time\":\"2026-01-0");
    QTest::newRow("not JSON") << QByteArray("\x01\xff garbage\n");
    QTest::newRow("unknown result") << QByteArray(
        "{\"time\":\"2026-01-01T00:00:00Z\",\"started\":\"window\",\"result\":\"maybe\"}\n");
    QTest::newRow("a folder in its place") << QByteArray("folder");
    QTest::newRow("a line of 3 MB") << QByteArray(3 << 20, 'x') + '\n';
}

void UnattendedTest::damagedHistoryEntriesAreSkipped() {
    QFETCH(QByteArray, damage);
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    configure(server, server.password());
    QVERIFY(runsQuietly());
    if (damage == "folder") {
        QVERIFY(QFile::remove(history()));
        QVERIFY(QDir().mkpath(history()));
    } else {
        QFile file(history());
        QVERIFY(file.open(QIODevice::Append));
        QCOMPARE(file.write(damage), damage.size());
    }
    // The run publishes all the same, and --status reads past the damage.
    QVERIFY(runsQuietly());
    const QString said = status();
    QVERIFY2(said.contains("\nLast published: "), qPrintable(said));
    if (damage == "folder")
        return;
    QVERIFY(QFileInfo(history()).size() < 1 << 20);
    QVERIFY2(said.contains("\nFailures since: none\n"), qPrintable(said));
    QVERIFY2(said.contains("\nLast attempt:   published at "), qPrintable(said));
    // The new entry stands on a line of its own.
    const QList<QByteArray> lines = readFile(history()).split('\n');
    QVERIFY(QJsonDocument::fromJson(lines.at(lines.size() - 2)).isObject());
    QCOMPARE(lines.last(), QByteArray());
}

void UnattendedTest::configureSite(const QString& site, const QString& user,
                                   const QString& password, const QString& trustedCertificate) {
    QString ini = QStringLiteral("[FTP]\nFTPSite=%1\nUserName=%2\nPassword=%3\n"
                                 "UploadFileName=ip.htm\n")
                      .arg(site, user, password);
    if (!trustedCertificate.isEmpty())
        ini += QStringLiteral("TrustedCertificate=%1\n").arg(trustedCertificate);
    ini += QStringLiteral("[HTML]\nHTMLTemplate=%1\nIPParseField=%Tallyhost%\nUploadDir=pub\n")
               .arg(m_home->filePath(QStringLiteral("template.htm")));
    QVERIFY(
        writeFile(m_home->filePath(QStringLiteral("config/TallyhostUpdater.ini")), ini.toUtf8()));
}

int UnattendedTest::publish(QByteArray* errors, const QMap<QString, QString>& environment) {
    QProcess program;
    start(program, environment);
    if (!program.waitForFinished(60000))
        return -1;
    *errors = program.readAllStandardError();
    return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
}

// A server's reply that carries control characters (a terminal's commands: clear the screen,
// set the window's title) reaches standard error, the history and the notice as text.
void UnattendedTest::serverWordsReachTheTerminalAsText() {
    FtpServer server;
    QVERIFY2(server.start({.refuseRenameFrom = "ip.htm",
                           .refuseRenameTo = "ip.htm",
                           .renameRefusal = "450 \x1b]0;owned\x07\x1b[2Jbusy\r"}),
             qPrintable(server.errorString()));
    configure(server, server.password());
    QVERIFY(writeFile(server.root() + QStringLiteral("/pub/ip.htm"), "old"));
    QByteArray errors;
    QCOMPARE(publish(&errors), 1);
    QVERIFY2(errors.contains("(450 ?]0;owned??[2Jbusy"), errors.constData());
    QCOMPARE(errors.count('\n'), 1);
    const QList<QJsonObject> entries = historyEntries();
    QCOMPARE(entries.size(), 1);
    const QString message = entries.first().value(QStringLiteral("message")).toString();
    QVERIFY2(message.contains("450 ?]0;owned??[2Jbusy"), qPrintable(message));
    for (const QByteArray& said : {errors.chopped(1), message.toUtf8()})
        for (const char c : said)
            QVERIFY2(c >= 0x20 || c < 0, said.constData());
}

void UnattendedTest::siteSchemeChoosesTheServer() {
    // A site typed with "ftp://" once went to a host called "ftp"; here no such lookup could
    // leave the machine.
    if (RanInOwnNetwork())
        return;
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(QDir(server.root()).mkpath(QStringLiteral("pub")));
    QByteArray errors;
    configureSite(server.url(), server.user(), server.password());
    QCOMPARE(publish(&errors), 0);
    QCOMPARE(errors, QByteArray());
    QCOMPARE(readFile(server.root() + QStringLiteral("/pub/ip.htm")), readFile(page()));

    // Another scheme, or a login in the site, is refused before anything is sent.
    const QString hostPort = server.url().mid(6);
    for (const QString& site : {QStringLiteral("http://") + hostPort,
                                QStringLiteral("ftp://vantrell:Pa55-word!@") + hostPort,
                                QStringLiteral("ftps:/") + hostPort}) {
        configureSite(site, server.user(), server.password());
        QCOMPARE(publish(&errors), 1);
        QVERIFY2(errors.startsWith("Tallyhost: Unable to upload file: "), errors.constData());
        QVERIFY2(errors.contains("ftpes://") && errors.contains("sftp://"), errors.constData());
        QCOMPARE(errors.count('\n'), 1);
        QVERIFY(!errors.contains(server.password().toUtf8()));
    }
    QCOMPARE(server.connectionCount(), 1);

    // SSH asked of a server that speaks another protocol, or none, is told at its first words
    // instead of at the end of the time-out.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const QString silentSite = QStringLiteral("127.0.0.1:%1").arg(silent.serverPort());
    for (const auto& [site, said] :
         {std::pair{hostPort, hostPort + QStringLiteral(", is it an FTP server? It said: 220 ")},
          std::pair{silentSite, silentSite + QStringLiteral(" within 5 seconds")}}) {
        configureSite(QStringLiteral("sftp://") + site, server.user(), server.password());
        QCOMPARE(publish(&errors), 1);
        QVERIFY2(errors.startsWith("Tallyhost: Unable to upload file: no SSH greeting from " +
                                   said.toUtf8()),
                 errors.constData());
        QCOMPARE(errors.count('\n'), 1);
    }

    // A server without TLS never hears the login of a site that asks for it.
    const QRegularExpression login(QStringLiteral("^(USER|PASS) "));
    const QStringList loginsBefore = server.commands().filter(login);
    configureSite(QStringLiteral("ftpes://") + hostPort, server.user(), server.password());
    QCOMPARE(publish(&errors), 1);
    QCOMPARE(errors, "Tallyhost: Unable to upload file: " + hostPort.toUtf8() +
                         " does not offer TLS, so the login was not sent (500 Command \"AUTH\" "
                         "not understood.)\n");
    QCOMPARE(server.commands().filter(login), loginsBefore);
}

void UnattendedTest::publishesOverFtpes() {
    ProftpdServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(QDir(server.root()).mkpath(QStringLiteral("pub")));
    // The scheme in any case, the fingerprint as openssl prints it in any case.
    configureSite(
        server.site(ProftpdServer::Ftpes).replace(QStringLiteral("ftpes"), QStringLiteral("FTPes")),
        server.user(), server.password(), server.certificateFingerprint().toLower());
    QByteArray errors;
    for (const char* content : {"<p>%Tallyhost%</p>\n", "replaced\n"}) {
        QVERIFY(writeFile(m_home->filePath(QStringLiteral("template.htm")), content));
        QCOMPARE(publish(&errors), 0);
        QCOMPARE(errors, QByteArray());
        QCOMPARE(readFile(server.root() + QStringLiteral("/pub/ip.htm")), readFile(page()));
    }
    QCOMPARE(readFile(page()), QByteArray("replaced\r\n"));
    QCOMPARE(QDir(server.root() + QStringLiteral("/pub")).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("ip.htm")});
    // Commands and data went encrypted.
    QVERIFY(server.log().join(u'\n').contains(QStringLiteral("\"PROT P\" 200")));
    // The replacing publish over one connection: what plain FTP sends, plus the three commands
    // that set up TLS, none of them twice. Each one costs a round trip on a real link.
    QStringList sent;
    const QRegularExpression command(QStringLiteral("\"([A-Z]+(?: [^\"]*)?)\" \\d{3}"));
    for (const QString& line : server.log()) {
        if (const QRegularExpressionMatch m = command.match(line); m.hasMatch())
            sent << m.captured(1);
    }
    sent = sent.mid(sent.lastIndexOf(QStringLiteral("AUTH TLS")));
    sent.replaceInStrings(QRegularExpression(QStringLiteral(R"(\.vantrell-\S+\.part)")),
                          QStringLiteral(".*.part"));
    QCOMPARE(sent,
             (QStringList{"AUTH TLS", "USER vantrell", "PASS (hidden)", "PBSZ 0", "PROT P", "PWD",
                          "CWD pub", "STAT ip.htm", "EPSV", "TYPE I", "STOR .ip.htm.*.part",
                          "SITE CHMOD 644 .ip.htm.*.part", "RNFR .ip.htm.*.part", "RNTO ip.htm"}));

    // A server that takes the login inside TLS and then will not protect the data.
    ProftpdServer clearData;
    clearData.addConfiguration(QStringLiteral("<Limit PROT>\n  DenyAll\n</Limit>\n"));
    QVERIFY2(clearData.start(), qPrintable(clearData.errorString()));
    configureSite(clearData.site(ProftpdServer::Ftpes), clearData.user(), clearData.password(),
                  clearData.certificateFingerprint());
    QCOMPARE(publish(&errors), 1);
    QCOMPARE(errors, QByteArray("Tallyhost: Unable to upload file: 127.0.0.1:") +
                         QByteArray::number(clearData.port(ProftpdServer::Ftpes)) +
                         " refused TLS for the data after the login, which was sent inside TLS; "
                         "nothing was uploaded (534 Unwilling to accept security parameters)\n");
}

void UnattendedTest::publishesOverFtps() {
    ProftpdServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(QDir(server.root()).mkpath(QStringLiteral("pub")));
    const QString published = server.root() + QStringLiteral("/pub/ip.htm");
    QByteArray errors;

    // Trusted by its fingerprint alone, the certificate serves an address it does not name, and
    // needs no certificate store on the system.
    configureSite(server.site(ProftpdServer::Ftps), server.user(), server.password(),
                  server.certificateFingerprint());
    QCOMPARE(publish(&errors, withoutCertificateStore()), 0);
    QCOMPARE(errors, QByteArray());
    QCOMPARE(readFile(published), readFile(page()));

    // Issued for the host typed by an authority the system trusts: nothing to trust by hand.
    // "localhost" is looked up.
    if (RanInOwnNetwork())
        return;
    QVERIFY(writeFile(m_home->filePath(QStringLiteral("template.htm")), "again\n"));
    configureSite(QStringLiteral("ftps://localhost:%1").arg(server.port(ProftpdServer::Ftps)),
                  server.user(), server.password());
    QCOMPARE(publish(&errors, {{QStringLiteral("SSL_CERT_FILE"), server.authorityFile()}}), 0);
    QCOMPARE(errors, QByteArray());
    QCOMPARE(readFile(published), QByteArray("again\r\n"));
}

void UnattendedTest::publishesOverSftp() {
    ProftpdServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(QDir(server.root()).mkpath(QStringLiteral("pub")));
    QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral(".ssh")));
    QVERIFY(writeFile(knownHosts(), server.knownHostsLine().toUtf8() + '\n'));
    configureSite(QStringLiteral("SFTP://127.0.0.1:%1").arg(server.port(ProftpdServer::Sftp)),
                  server.user(), server.password());
    QByteArray errors;
    QCOMPARE(publish(&errors), 0);
    QCOMPARE(errors, QByteArray());
    const QString published = server.root() + QStringLiteral("/pub/ip.htm");
    QCOMPARE(readFile(published), readFile(page()));

    // The replacement keeps the page's mode, and a hashed known_hosts entry is found as well.
    QVERIFY(
        QFile::setPermissions(published, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    QCOMPARE(runTool(QStringLiteral("ssh-keygen"), {"-q", "-H", "-f", knownHosts()}), 0);
    QVERIFY(!readFile(knownHosts()).contains("127.0.0.1"));
    QVERIFY(writeFile(m_home->filePath(QStringLiteral("template.htm")), "again\n"));
    QCOMPARE(publish(&errors), 0);
    QCOMPARE(errors, QByteArray());
    QCOMPARE(readFile(published), QByteArray("again\r\n"));
    const auto ownerGroupOther = QFile::Permissions(0x7077); // leaves out the ...User bits
    QCOMPARE(QFile::permissions(published) & ownerGroupOther,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    QCOMPARE(QDir(server.root() + QStringLiteral("/pub")).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("ip.htm")});
}

// A site that takes keys only, and no password set: the key in ~/.ssh logs in; one that needs
// its passphrase, which a run nobody watches cannot ask for, is said in one line.
void UnattendedTest::publishesOverSftpWithKeys_data() {
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    QTest::newRow("a key in the clear") << "" << 0 << "";
    QTest::newRow("a locked key")
        << "open sesame" << 1
        << "Tallyhost: Unable to upload file: Login denied: no key was offered; no password is "
           "set; ~/.ssh/id_ed25519 needs its passphrase, which only the agent can give a run "
           "nobody watches: ssh-add ~/.ssh/id_ed25519\n";
}

void UnattendedTest::publishesOverSftpWithKeys() {
    QFETCH(QString, passphrase);
    QFETCH(int, status);
    QFETCH(QString, said);
    if (const QString why = SshdServer::unavailable(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral(".ssh")));
    const QString line = MakeKeyPair(home(QStringLiteral(".ssh/id_ed25519")), passphrase);
    QVERIFY(!line.isEmpty());
    SshdServer sshd;
    QVERIFY2(sshd.start({.keysOnly = true, .authorizedKeys = {line}}),
             qPrintable(sshd.errorString()));
    QVERIFY(QDir().mkpath(sshd.root() + QStringLiteral("/pub")) &&
            sshd.handOver(sshd.root() + QStringLiteral("/pub")));
    QVERIFY(writeFile(knownHosts(), sshd.knownHostsLine(SshdServer::Ed25519).toUtf8() + '\n'));
    configureSite(sshd.site(), sshd.user(), QString());
    QByteArray errors;
    QCOMPARE(publish(&errors), status);
    QCOMPARE(QString::fromUtf8(errors), said);
    QCOMPARE(QFile::exists(sshd.root() + QStringLiteral("/pub/ip.htm")), status == 0);
}

void UnattendedTest::untrustedServersGetNoPassword_data() {
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("trusted"); // "authority", "other" or empty
    QTest::addColumn<QString>("said");    // what the line names besides the fingerprint

    QTest::newRow("certificate nobody trusts")
        << int(ProftpdServer::Ftps) << QString() << QStringLiteral("TrustedCertificate");
    QTest::newRow("not the certificate trusted")
        << int(ProftpdServer::Ftpes) << QStringLiteral("other")
        << QStringLiteral("TrustedCertificate");
    QTest::newRow("certificate for another name")
        << int(ProftpdServer::Ftps) << QStringLiteral("authority")
        << QStringLiteral("it is for localhost, not 127.0.0.1");
    QTest::newRow("no certificate store")
        << int(ProftpdServer::Ftpes) << QStringLiteral("nothing")
        << QStringLiteral("the system's certificate store /nonexistent/ca-certificates.crt is "
                          "missing; the package ca-certificates brings it");
    // Before, OpenSSL waited for the pipe's writer for ever.
    QTest::newRow("a pipe as the certificate store")
        << int(ProftpdServer::Ftpes) << QStringLiteral("pipe")
        << QStringLiteral("the system's certificate store");
    QTest::newRow("unknown host key")
        << int(ProftpdServer::Sftp) << QString() << QStringLiteral("known_hosts");
    QTest::newRow("changed host key")
        << int(ProftpdServer::Sftp) << QStringLiteral("other") << QStringLiteral("has changed");
}

void UnattendedTest::untrustedServersGetNoPassword() {
    QFETCH(int, protocol);
    QFETCH(QString, trusted);
    QFETCH(QString, said);
    ProftpdServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(QDir(server.root()).mkpath(QStringLiteral("pub")));
    const auto chosen = ProftpdServer::Protocol(protocol);
    const bool ssh = chosen == ProftpdServer::Sftp;

    QString storedFingerprint;
    QMap<QString, QString> environment;
    if (trusted == QLatin1String("authority"))
        environment.insert(QStringLiteral("SSL_CERT_FILE"), server.authorityFile());
    if (trusted == QLatin1String("nothing"))
        environment = withoutCertificateStore();
    if (trusted == QLatin1String("pipe")) {
        environment = withoutCertificateStore();
        const QString pipe = home(QStringLiteral("ca-certificates.crt"));
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        environment.insert(QStringLiteral("SSL_CERT_FILE"), pipe);
    }
    if (trusted == QLatin1String("other") && !ssh)
        storedFingerprint = QStringLiteral("AB:").repeated(31) + QStringLiteral("AB");
    if (trusted == QLatin1String("other") && ssh) {
        // Another key of the same type, recorded for this host and port.
        const QString other = m_home->filePath(QStringLiteral("other_key"));
        QCOMPARE(runTool(QStringLiteral("ssh-keygen"),
                         {"-q", "-t", "ecdsa", "-b", "256", "-N", "", "-f", other}),
                 0);
        QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral(".ssh")));
        QVERIFY(writeFile(knownHosts(), server.knownHostsLine().section(u' ', 0, 0).toUtf8() + ' ' +
                                            readFile(other + QStringLiteral(".pub"))));
    }
    const QByteArray knownHostsBefore = readFile(knownHosts());
    configureSite(server.site(chosen), server.user(), server.password(), storedFingerprint);

    QByteArray errors;
    QCOMPARE(publish(&errors, environment), 1);
    QVERIFY2(errors.startsWith("Tallyhost: Unable to upload file: "), errors.constData());
    QCOMPARE(errors.count('\n'), 1);
    const QString fingerprint = ssh ? server.hostKeyFingerprint() : server.certificateFingerprint();
    QVERIFY2(errors.contains(fingerprint.toUtf8()) && errors.contains(said.toUtf8()),
             errors.constData());
    QVERIFY(!errors.contains(server.password().toUtf8()));
    QVERIFY2(errors.contains("the login was not sent"), errors.constData());
    QVERIFY2(!server.sawLoginOrPassword(), qPrintable(server.log().join(u'\n')));
    QVERIFY(!QFile::exists(server.root() + QStringLiteral("/pub/ip.htm")));
    // Nothing was trusted on the way.
    QCOMPARE(readFile(knownHosts()), knownHostsBefore);
    QSettings settings(m_home->filePath(QStringLiteral("config/TallyhostUpdater.ini")),
                       QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("FTP/TrustedCertificate")).toString(),
             storedFingerprint);
}

void UnattendedTest::onlyFilesAreReplacedAndLeftoversAreOwned_data() {
    QTest::addColumn<QString>("server"); // "ftpes", "sftp" (ProFTPD), "openssh" or "ftp"
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    const QString folder =
        "Tallyhost: Unable to upload file: \"ip.htm\" is a folder on the server\n";
    QTest::newRow("folder, FTPS") << "ftpes" << 1 << folder;
    QTest::newRow("folder, SFTP") << "sftp" << 1 << folder;
    QTest::newRow("folder, OpenSSH") << "openssh" << 1 << folder;
    // Published all the same, and said once.
    QTest::newRow("no deleting, FTP") << "ftp" << 0 << "2 old copies could not be removed";
}

void UnattendedTest::onlyFilesAreReplacedAndLeftoversAreOwned() {
    QFETCH(QString, server);
    QFETCH(int, status);
    QFETCH(QString, said);
    ProftpdServer proftpd;
    SshdServer sshd;
    FtpServer ftp;
    QString pub;
    if (server == QLatin1String("openssh")) {
        if (const QString why = SshdServer::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QVERIFY2(sshd.start(), qPrintable(sshd.errorString()));
        pub = sshd.root() + QStringLiteral("/pub");
        QVERIFY(QDir().mkpath(pub + QStringLiteral("/ip.htm")) && sshd.handOver(pub));
        QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral(".ssh")));
        QVERIFY(writeFile(knownHosts(), sshd.knownHostsLine(SshdServer::Ed25519).toUtf8() + '\n'));
        configureSite(sshd.site(), sshd.user(), sshd.password());
    } else if (server == QLatin1String("ftp")) {
        QVERIFY2(ftp.start({.permissions = QStringLiteral("elrafmwMT")}),
                 qPrintable(ftp.errorString()));
        pub = ftp.root() + QStringLiteral("/pub");
        QVERIFY(QDir().mkpath(pub));
        for (const char* left : {"ip.htm", ".ip.htm.vantrell-20200101T000000Z-00000001.part",
                                 ".ip.htm.vantrell-20200101T000000Z-00000002.old"})
            QVERIFY(writeFile(pub + u'/' + QLatin1String(left), "left"));
        configureSite(ftp.url(), ftp.user(), ftp.password());
    } else {
        QVERIFY2(proftpd.start(), qPrintable(proftpd.errorString()));
        pub = proftpd.root() + QStringLiteral("/pub");
        QVERIFY(QDir().mkpath(pub + QStringLiteral("/ip.htm")));
        const bool ssh = server == QLatin1String("sftp");
        if (ssh) {
            QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral(".ssh")));
            QVERIFY(writeFile(knownHosts(), proftpd.knownHostsLine().toUtf8() + '\n'));
        }
        configureSite(proftpd.site(ssh ? ProftpdServer::Sftp : ProftpdServer::Ftpes),
                      proftpd.user(), proftpd.password(),
                      ssh ? QString() : proftpd.certificateFingerprint());
    }
    QByteArray errors;
    QCOMPARE(publish(&errors), status);
    QVERIFY2(errors.contains(said.toUtf8()) && errors.count('\n') == 1, errors.constData());
    if (status == 0) {
        QCOMPARE(readFile(pub + QStringLiteral("/ip.htm")), readFile(page()));
        return;
    }
    // The folder is where it was, and nothing took its place or stands beside it.
    QVERIFY(QFileInfo(pub + QStringLiteral("/ip.htm")).isDir());
    QCOMPARE(QDir(pub).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("ip.htm")});
}

QTEST_MAIN(UnattendedTest)
#include "tst_unattended.moc"
