// "vantrell /A" as a scheduler runs it: a separate process, no display, its own settings file.

#include "AddressServer.h"
#include "FtpServer.h"
#include "TestFiles.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace std::chrono_literals;

namespace {} // namespace

class UnattendedTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    void publishesSilentlyAndExitsZero();
    void failureIsOneLineAndExitsOne();
    void slowServerStillPublishes();
    void twoRunsAtOnceTakeTurns();
    void publishesTheChosenSourcesAddress_data();
    void publishesTheChosenSourcesAddress();
    void publishesOnlyWhenSomethingChanged();

private:
    void configure(const FtpServer& server, const QString& password, const QString& more = {},
                   const QString& dir = QStringLiteral("pub"), const QString& site = {});
    void start(QProcess& program);
    bool runsQuietly();

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
                               const QString& more, const QString& dir, const QString& site) {
    const QString ini = QStringLiteral("[FTP]\nFTPSite=%1\nUserName=%2\nPassword=%3\n"
                                       "UploadFileName=ip.htm\n[HTML]\nHTMLTemplate=%4\n"
                                       "IPParseField=%Tallyhost%\nUploadDir=%5\n")
                            .arg(site.isEmpty() ? server.url().mid(6) : site, server.user(),
                                 password, m_home->filePath(QStringLiteral("template.htm")), dir) +
                        more;
    QVERIFY(
        writeFile(m_home->filePath(QStringLiteral("config/TallyhostUpdater.ini")), ini.toUtf8()));
    QVERIFY(QDir(server.root()).mkpath(dir));
}

void UnattendedTest::start(QProcess& program) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home->filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("windir"), m_home->filePath(QStringLiteral("win")));
    env.insert(QStringLiteral("XDG_STATE_HOME"), m_home->filePath(QStringLiteral("state")));
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("VANTRELL_BINARY"), {QStringLiteral("/A")});
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

void UnattendedTest::publishesSilentlyAndExitsZero() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    configure(server, server.password());
    QProcess program;
    start(program);
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.readAllStandardError(), QByteArray());
    QCOMPARE(program.exitCode(), 0);
    const QByteArray page = readFile(server.root() + QStringLiteral("/pub/ip.htm"));
    QCOMPARE(page, readFile(m_home->filePath(QStringLiteral("win/temp/ip.htm"))));
    QVERIFY(page.startsWith("<p>"));
    QVERIFY(!page.contains('%'));
    QCOMPARE(server.loginCount(), 1);
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
    configure(server, server.password(), {}, QStringLiteral("pub"),
              server.user() + QStringLiteral(":Pw/in#site@") + server.url().mid(6));
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
}

void UnattendedTest::publishesTheChosenSourcesAddress_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("page");  // pattern of the page's start, when it is published
    QTest::addColumn<QString>("error"); // start of the one line said, when it is not

    const QString web = QStringLiteral("Source=web\nWebURL=");
    const QString router = QStringLiteral("Source=router\nRouterURL=");
    const QString refused = QStringLiteral("Tallyhost: Unable to find the public address: ");
    QTest::newRow("local") << "Source=local"
                           << "^<p>\\d+\\.\\d+\\.\\d+\\.\\d+ on "
                           << "";
    QTest::newRow("web") << web + "say/203.0.113.7"
                         << "^<p>203\\.0\\.113\\.7 on "
                         << "";
    QTest::newRow("router") << router + "igd/198.51.100.4/desc.xml"
                            << "^<p>198\\.51\\.100\\.4 on "
                            << "";
    QTest::newRow("web, private") << web + "say/192.168.1.20"
                                  << ""
                                  << refused +
                                         "the web service answered 192.168.1.20, a private address";
    QTest::newRow("router, carrier-grade NAT")
        << router + "igd/100.64.1.1/desc.xml"
        << "" << refused + "the router answered 100.64.1.1, a carrier-grade NAT address";
    QTest::newRow("unknown source") << "Source=upnp"
                                    << "" << refused + "there is no address source called \"upnp\"";
}

void UnattendedTest::publishesTheChosenSourcesAddress() {
    QFETCH(QString, source);
    QFETCH(QString, page);
    QFETCH(QString, error);
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    AddressServer stand;
    QVERIFY2(stand.start(), qPrintable(stand.errorString()));
    // The rows name paths on the stand-in, whose address is known only now.
    source.replace(QStringLiteral("URL="), QStringLiteral("URL=") + stand.url(QString()));
    configure(server, server.password(), QStringLiteral("[Address]\n") + source + '\n');

    QProcess program;
    start(program);
    QVERIFY(program.waitForFinished(60000));
    const QByteArray err = program.readAllStandardError();
    if (error.isEmpty()) {
        QCOMPARE(err, QByteArray());
        QCOMPARE(program.exitCode(), 0);
        const QString published =
            QString::fromLatin1(readFile(server.root() + QStringLiteral("/pub/ip.htm")));
        QVERIFY2(QRegularExpression(page).match(published).hasMatch(), qPrintable(published));
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
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    AddressServer web;
    QVERIFY2(web.start(), qPrintable(web.errorString()));
    const auto settings = [&](const QString& address, const QString& dir = QStringLiteral("pub")) {
        configure(server, server.password(),
                  QStringLiteral("[Address]\nSource=web\nWebURL=%1\nOnlyWhenChanged=True\n"
                                 "RefreshDays=25\n")
                      .arg(web.say(address)),
                  dir);
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
}

QTEST_MAIN(UnattendedTest)
#include "tst_unattended.moc"
