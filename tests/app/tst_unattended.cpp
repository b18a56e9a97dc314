// "vantrell /A" as a scheduler runs it: a separate process, no display, its own settings file.

#include "FtpServer.h"
#include "TestFiles.h"

#include <QFile>
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

private:
    void configure(const FtpServer& server, const QString& password, const QString& site = {});
    void start(QProcess& program);

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
                               const QString& site) {
    const QString ini = QStringLiteral("[FTP]\nFTPSite=%1\nUserName=%2\nPassword=%3\n"
                                       "UploadFileName=ip.htm\n[HTML]\nHTMLTemplate=%4\n"
                                       "IPParseField=%Tallyhost%\nUploadDir=pub\n")
                            .arg(site.isEmpty() ? server.url().mid(6) : site, server.user(),
                                 password, m_home->filePath(QStringLiteral("template.htm")));
    QVERIFY(
        writeFile(m_home->filePath(QStringLiteral("config/TallyhostUpdater.ini")), ini.toUtf8()));
    QVERIFY(QDir(server.root()).mkpath(QStringLiteral("pub")));
}

void UnattendedTest::start(QProcess& program) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home->filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("windir"), m_home->filePath(QStringLiteral("win")));
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("VANTRELL_BINARY"), {QStringLiteral("/A")});
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
    configure(server, server.password(),
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

QTEST_MAIN(UnattendedTest)
#include "tst_unattended.moc"
