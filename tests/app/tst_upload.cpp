// The whole upload, from the fields of the window to a real FTP server on 127.0.0.1.

#include "AddressServer.h"
#include "FtpServer.h"
#include "Inet.h"
#include "JobSandbox.h"
#include "PageServer.h"
#include "ProftpdServer.h"
#include "Recorders.h"
#include "SshdServer.h"
#include "TestFiles.h"
#include "frmHistory.h"
#include "frmTallyhost.h"
#include "frmTrust.h"
#include "modHistory.h"
#include "modPage.h"
#include "modPageCheck.h"
#include "modTallyhost.h"
#include "modTrust.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

using namespace std::chrono_literals;

// Answers every trust question the window asks, as the row says, and keeps what it showed.
class TrustAnswerer : public QObject {
public:
    explicit TrustAnswerer(bool trust) : m_trust(trust) { qApp->installEventFilter(this); }
    ~TrustAnswerer() override { qApp->removeEventFilter(this); }
    TrustAnswerer(const TrustAnswerer&) = delete;
    TrustAnswerer& operator=(const TrustAnswerer&) = delete;

    QStringList shown;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* box = qobject_cast<frmTrust*>(watched);
        if (box && event->type() == QEvent::Show) {
            shown << box->lblQuestion->text() + u'\n' + box->lblDetails->text();
            QPushButton* answer = m_trust ? box->cmdTrust : box->cmdCancel;
            QMetaObject::invokeMethod(
                box, [answer] { QTest::mouseClick(answer, Qt::LeftButton); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    bool m_trust;
};

class UploadTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void uploadsIntoDirectoryOverOneLogin();
    void namesWithSpacesAndNoDirectory();
    void failuresAreReportedAndNothingIsUploaded_data();
    void failuresAreReportedAndNothingIsUploaded();
    void silentServerTimesOut();
    void lineBreaksNeverReachTheServer();
    void cutUploadLeavesOldPage();
    void secondRequestDuringUploadIsIgnored();
    void closingTheWindowDuringUploadFinishesIt();
    void fieldsEditedDuringUploadWaitForTheNext();
    void busyPageGivesUp();
    void unwritableSettingsStillPublish();
    void trustIsAskedInTheWindow_data();
    void trustIsAskedInTheWindow();
    void unattendedRefusalNamesTheKeyToFetch();
    void visitorsSeeThePageOrAreToldWhy_data();
    void visitorsSeeThePageOrAreToldWhy();
    void lockedKeyIsAskedForInTheWindow_data();
    void lockedKeyIsAskedForInTheWindow();

private:
    void pointAt(const FtpServer& server, const QString& dir = {});
    QString pagePath() const { return m_box->pagePath(); }

    std::unique_ptr<JobSandbox> m_box;
    QString m_template;
};

void UploadTest::init() {
    m_box = std::make_unique<JobSandbox>();
    QVERIFY(m_box->isValid());
    m_template = m_box->files.filePath(QStringLiteral("template.htm"));
    QVERIFY(writeFile(m_template, "<html>\n<p>Address: %Tallyhost%</p>\r\n\xe9t\xe9\n</html>"));
}

void UploadTest::cleanup() {
    m_box.reset();
    SetPageLockPatience(150s);
}

void UploadTest::pointAt(const FtpServer& server, const QString& dir) {
    frmTallyhost& form = MainForm();
    form.txtHTMLTemplate->setText(m_template);
    form.txtIPParseField[0]->setText(QStringLiteral("%Tallyhost%"));
    form.txtFTPSite->setText(server.url().mid(int(strlen("ftp://"))));
    form.txtUserName->setText(server.user());
    form.txtPassword->setText(server.password());
    form.txtUploadFileName->setText(QStringLiteral("page.htm"));
    form.txtUploadDir->setText(dir);
}

void UploadTest::uploadsIntoDirectoryOverOneLogin() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(QDir(server.root()).mkpath(QStringLiteral("www/ip")));
    pointAt(server, QStringLiteral("www/ip"));

    MessageRecorder messages;
    QVERIFY(UploadPage());
    QCOMPARE(messages.texts(), QStringList{QStringLiteral("File successfully loaded.")});
    QCOMPARE(messages.messages[0].icon, platform::MsgIcon::Information);
    QCOMPARE(messages.messages[0].title, QStringLiteral("Vantrell"));

    const QByteArray published = readFile(server.root() + QStringLiteral("/www/ip/page.htm"));
    QCOMPARE(published, readFile(pagePath()));
    QVERIFY(published.contains("Address: "));
    QVERIFY(!published.contains("%Tallyhost%"));
    QVERIFY(published.endsWith("</html>\r\n"));
    QCOMPARE(server.loginCount(), 1);
    QCOMPARE(MainForm().cursor().shape(), Qt::ArrowCursor);

    // The next upload replaces the page and logs in again.
    QVERIFY(writeFile(m_template, "second\n"));
    QVERIFY(UploadPage());
    QCOMPARE(readFile(server.root() + QStringLiteral("/www/ip/page.htm")),
             QByteArray("second\r\n"));
    QCOMPARE(QDir(server.root() + QStringLiteral("/www/ip")).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("page.htm")});

    // A router knows no IPv6 address: the IPv6 marker is left empty, the page goes, and the
    // status line says why.
    AddressServer router;
    QVERIFY2(router.start(), qPrintable(router.errorString()));
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope,
                           QStringLiteral("TallyhostUpdater"));
        settings.setValue(QStringLiteral("Address/Source"), QStringLiteral("router"));
        settings.setValue(QStringLiteral("Address/RouterURL"),
                          router.router(QStringLiteral("203.0.113.9")));
    }
    QVERIFY(writeFile(m_template, "%Tallyhost% [%Tallyhost6%]\n"));
    messages.messages.clear();
    QVERIFY(UploadPage());
    QCOMPARE(readFile(server.root() + QStringLiteral("/www/ip/page.htm")),
             QByteArray("203.0.113.9 []\r\n"));
    QCOMPARE(messages.texts(), QStringList{QStringLiteral("File successfully loaded.")});
    const QLabel& status = *MainForm().lblStatus;
    QVERIFY2(status.text().startsWith(QStringLiteral("Published 203.0.113.9 to ")),
             qPrintable(status.text()));
    QVERIFY2(status.toolTip().endsWith(
                 QStringLiteral("%Tallyhost6% was left empty: the router tells no IPv6 address.")),
             qPrintable(status.toolTip()));
}

void UploadTest::namesWithSpacesAndNoDirectory() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(QDir(server.root()).mkdir(QStringLiteral("my pages")));

    MessageRecorder messages;
    pointAt(server, QStringLiteral("my pages"));
    MainForm().txtUploadFileName->setText(QStringLiteral("my \"ip\" page.htm"));
    QVERIFY2(UploadPage(), qPrintable(messages.texts().join('\n')));
    QCOMPARE(readFile(server.root() + QStringLiteral("/my pages/my \"ip\" page.htm")),
             readFile(m_box->windir.filePath(QStringLiteral("temp/my \"ip\" page.htm"))));

    // A directory of spaces only means none: the page lands in the login folder.
    pointAt(server, QStringLiteral("   "));
    QVERIFY(UploadPage());
    QVERIFY(QFile::exists(server.root() + QStringLiteral("/page.htm")));
    QVERIFY(!server.commands().join('\n').contains(QStringLiteral("CWD    ")));

    // The directory reaches the server as typed, ".." included: from a login folder below
    // the server's root, it leads up.
    FtpServer below;
    QVERIFY2(below.start({.loginDir = QStringLiteral("home")}), qPrintable(below.errorString()));
    const QDir root(below.root());
    QVERIFY(root.mkpath(QStringLiteral("home/www")) && root.mkpath(QStringLiteral("www")));
    pointAt(below, QStringLiteral(".."));
    QVERIFY(UploadPage());
    QVERIFY(QFile::exists(root.filePath(QStringLiteral("page.htm"))));
    pointAt(below, QStringLiteral("../www"));
    QVERIFY(UploadPage());
    QVERIFY(QFile::exists(root.filePath(QStringLiteral("www/page.htm"))));
    QCOMPARE(QDir(root.filePath(QStringLiteral("home")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("www")});
    QVERIFY(QDir(root.filePath(QStringLiteral("home/www"))).isEmpty());
}

void UploadTest::failuresAreReportedAndNothingIsUploaded_data() {
    QTest::addColumn<QString>("failure");
    QTest::newRow("wrong password") << "password";
    QTest::newRow("closed port") << "port";
    QTest::newRow("missing directory") << "directory";
}

void UploadTest::failuresAreReportedAndNothingIsUploaded() {
    QFETCH(QString, failure);
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    pointAt(server, QStringLiteral("missing"));
    QVERIFY(QDir(server.root()).mkdir(QStringLiteral("missing")));
    QString secret = server.password();
    if (failure == QLatin1String("password")) {
        secret = QStringLiteral("Wr0ng-s3cret");
        MainForm().txtPassword->setText(secret);
    } else if (failure == QLatin1String("port")) {
        QTcpServer closed; // a port that was free a moment ago and has nobody listening now
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        MainForm().txtFTPSite->setText(QStringLiteral("127.0.0.1:%1").arg(port));
    } else {
        QVERIFY(QDir(server.root()).rmdir(QStringLiteral("missing")));
    }

    frmTallyhost& form = MainForm();
    QApplication::setActiveWindow(&form);
    form.comUploadTallyhost->setFocus();
    MessageRecorder messages;
    // What the status line says while the box is open.
    QString behindTheBox;
    platform::MessageHandler recorder =
        platform::SetMessageHandler([&](const platform::Message& m) {
            behindTheBox = form.lblStatus->text();
            recorder(m);
        });
    QVERIFY(!UploadPage());
    platform::SetMessageHandler(std::move(recorder));
    QCOMPARE(messages.messages.size(), 1);
    const QString text = messages.messages[0].text;
    QVERIFY2(text.startsWith(QStringLiteral("Unable to upload file: ")), qPrintable(text));
    QVERIFY2(text.size() > int(strlen("Unable to upload file: ")) + 5, qPrintable(text));
    QVERIFY(!text.contains(secret));
    QCOMPARE(messages.messages[0].icon, platform::MsgIcon::Critical);
    QCOMPARE(messages.messages[0].title, QStringLiteral("Tallyhost"));
    QVERIFY2(behindTheBox.startsWith(QStringLiteral("Not published: ")), qPrintable(behindTheBox));
    QVERIFY(!server.commands().join('\n').contains(QStringLiteral("STOR")));
    QCOMPARE(QDir(server.root()).entryList(QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
    // The focus is back on the button, and no setting is selected for the next key to replace.
    QCOMPARE(QApplication::focusWidget(), form.comUploadTallyhost);
    QStringList settings;
    for (const QLineEdit* field : form.findChildren<QLineEdit*>())
        settings << field->text();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_X);
    QStringList afterKey;
    for (const QLineEdit* field : form.findChildren<QLineEdit*>())
        afterKey << field->text();
    QCOMPARE(afterKey, settings);
}

void UploadTest::silentServerTimesOut() {
    FtpServer server;
    QVERIFY2(server.start({.silent = true}), qPrintable(server.errorString()));
    pointAt(server);
    MainForm().inetFTP->setRequestTimeout(1500ms);
    MessageRecorder messages;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!UploadPage());
    QVERIFY(clock.elapsed() < 30000);
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY(messages.texts()[0].startsWith(QStringLiteral("Unable to upload file: ")));
}

void UploadTest::lineBreaksNeverReachTheServer() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(writeFile(server.root() + QStringLiteral("/victim.htm"), "keep me"));
    MessageRecorder messages;
    for (const QString& dir :
         {QStringLiteral("x\r\nDELE victim.htm"), QStringLiteral("x\nDELE victim.htm"),
          QStringLiteral("x\rDELE victim.htm")}) {
        pointAt(server, dir);
        QVERIFY(!UploadPage());
    }
    pointAt(server);
    MainForm().txtUserName->setText(server.user() + QStringLiteral("\r\nDELE victim.htm"));
    QVERIFY(!UploadPage());
    QCOMPARE(messages.messages.size(), 4);
    QCOMPARE(readFile(server.root() + QStringLiteral("/victim.htm")), QByteArray("keep me"));
    QVERIFY(!server.commands().join('\n').contains(QStringLiteral("DELE")));
}

void UploadTest::cutUploadLeavesOldPage() {
    FtpServer server;
    QVERIFY2(server.start({.dropUploadsAfter = 4096}), qPrintable(server.errorString()));
    QVERIFY(writeFile(server.root() + QStringLiteral("/page.htm"), "old page"));
    QByteArray big;
    for (int i = 0; i < 20000; ++i)
        big += "<p>line " + QByteArray::number(i) + " %Tallyhost%</p>\n";
    QVERIFY(writeFile(m_template, big));
    pointAt(server);
    MessageRecorder messages;
    QVERIFY(!UploadPage());
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY(messages.texts()[0].startsWith(QStringLiteral("Unable to upload file: ")));
    QCOMPARE(readFile(server.root() + QStringLiteral("/page.htm")), QByteArray("old page"));
}

void UploadTest::secondRequestDuringUploadIsIgnored() {
    FtpServer server;
    QVERIFY2(server.start({.replyDelay = 100ms}), qPrintable(server.errorString()));
    pointAt(server);
    MessageRecorder messages;
    bool again = true;
    bool menuRan = false;
    QTimer::singleShot(50ms, [&] {
        again = UploadPage();
        MainForm().mnuUploadTallyhost->trigger();
        MainForm().comUploadTallyhost->click();
        menuRan = true;
    });
    QVERIFY(UploadPage());
    QVERIFY(menuRan);
    QVERIFY(!again);
    QCOMPARE(messages.texts(), QStringList{QStringLiteral("File successfully loaded.")});
    QCOMPARE(server.loginCount(), 1);
}

void UploadTest::closingTheWindowDuringUploadFinishesIt() {
    FtpServer server;
    QVERIFY2(server.start({.replyDelay = 100ms}), qPrintable(server.errorString()));
    pointAt(server);
    MessageRecorder messages;
    // Asked whether to stop the upload, the user says no: it goes on, and the window stays.
    QStringList asked;
    const auto previous = platform::SetQuestionHandler([&](const platform::Message& m) {
        asked << m.text;
        return false;
    });
    const auto restore = qScopeGuard([&] { platform::SetQuestionHandler(previous); });
    QTimer::singleShot(50ms, [] { MainForm().close(); });
    QVERIFY(UploadPage());
    QCOMPARE(asked.size(), 1);
    QVERIFY(MainForm().isVisible());
    QCOMPARE(readFile(server.root() + QStringLiteral("/page.htm")), readFile(pagePath()));
}

void UploadTest::fieldsEditedDuringUploadWaitForTheNext() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    AddressServer web;
    QVERIFY2(web.start(), qPrintable(web.errorString()));
    pointAt(server);
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, "TallyhostUpdater");
        settings.setValue(QStringLiteral("Address/Source"), QStringLiteral("web"));
        settings.setValue(QStringLiteral("Address/WebURL"), web.say(QStringLiteral("203.0.113.5")));
    }
    const QString outside = m_box->windir.filePath(QStringLiteral("victim.htm"));
    QVERIFY(writeFile(outside, "keep me"));
    MessageRecorder messages;
    // Typed while the address is being asked for.
    QTimer::singleShot(0, [] {
        MainForm().txtUploadFileName->setText(QStringLiteral("../victim.htm"));
        MainForm().txtHTMLTemplate->setText(QString());
        MainForm().txtPassword->setText(QStringLiteral("typo"));
    });
    QVERIFY2(UploadPage(), qPrintable(messages.texts().join(u'|')));
    QCOMPARE(readFile(outside), QByteArray("keep me"));
    QCOMPARE(readFile(server.root() + QStringLiteral("/page.htm")), readFile(pagePath()));
    QVERIFY(readFile(pagePath()).contains("203.0.113.5"));
    QCOMPARE(MainForm().txtUploadFileName->text(), QStringLiteral("../victim.htm"));
}

void UploadTest::busyPageGivesUp() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    pointAt(server);
    QLockFile other(pagePath() + QStringLiteral(".lock"));
    QVERIFY(other.tryLock());
    SetPageLockPatience(300ms);
    MessageRecorder messages;
    QVERIFY(!UploadPage());
    QCOMPARE(messages.texts(),
             QStringList{
                 QStringLiteral("Another upload of page.htm is still running. Try again later.")});
    QVERIFY(!QFile::exists(pagePath()));
    QCOMPARE(server.loginCount(), 0);

    other.unlock();
    QVERIFY(UploadPage());

    QVERIFY(other.tryLock());
    // The window of an unattended run is live while it waits: ended from there, the run has
    // published nothing and must not say so.
    {
        strCommandLine = QStringLiteral("/A");
        const auto interactive = qScopeGuard([] { strCommandLine.clear(); });
        EndRecorder ends;
        QTimer::singleShot(0, [] { MainForm().mnuExit->trigger(); });
        QVERIFY(!UploadPage());
        QCOMPARE(ends.statuses, QList<int>{1});
        QCOMPARE(server.loginCount(), 1); // the upload before, none since
    }
    other.unlock();

    // An unattended run with a display: its failure box waits for someone to read it, while
    // the next run finds the page free.
    {
        strCommandLine = QStringLiteral("/A");
        pointAt(server); // the window the exit above closed comes back empty
        MainForm().txtPassword->setText(QStringLiteral("Wr0ng-s3cret"));
        QStringList shown;
        auto previous = platform::SetMessageHandler([&](const platform::Message& m) {
            QLockFile next(pagePath() + QStringLiteral(".lock"));
            shown << (next.tryLock(0) ? QStringLiteral("free: ") : QStringLiteral("held: ")) +
                         m.text;
        });
        const auto restore = qScopeGuard([&] {
            platform::SetMessageHandler(std::move(previous));
            strCommandLine.clear();
        });
        QVERIFY(!UploadPage());
        QVERIFY2(shown.size() == 1, qPrintable(shown.join(u'|')));
        QVERIFY2(shown[0].startsWith(QStringLiteral("free: Unable to upload file: ")),
                 qPrintable(shown[0]));
    }
}

void UploadTest::unwritableSettingsStillPublish() {
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    pointAt(server);
    // A folder where the settings file belongs: nothing can be written there, even by root.
    const QString settings = m_box->config.filePath(QStringLiteral("TallyhostUpdater.ini"));
    QVERIFY(QDir().mkdir(settings));
    MessageRecorder messages;
    QVERIFY(UploadPage());
    QCOMPARE(messages.texts(),
             (QStringList{QStringLiteral("Unable to save settings to ") + settings,
                          QStringLiteral("File successfully loaded.")}));
    QCOMPARE(readFile(server.root() + QStringLiteral("/page.htm")), readFile(pagePath()));
}

void UploadTest::trustIsAskedInTheWindow_data() {
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("trust");
    QTest::newRow("certificate trusted") << int(ProftpdServer::Ftps) << true;
    QTest::newRow("certificate declined") << int(ProftpdServer::Ftpes) << false;
    QTest::newRow("host key trusted") << int(ProftpdServer::Sftp) << true;
    QTest::newRow("host key declined") << int(ProftpdServer::Sftp) << false;
}

void UploadTest::trustIsAskedInTheWindow() {
    QFETCH(int, protocol);
    QFETCH(bool, trust);
    const auto chosen = ProftpdServer::Protocol(protocol);
    const bool ssh = chosen == ProftpdServer::Sftp;
    ProftpdServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir home;
    const QByteArray realHome = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    const auto restoreHome = qScopeGuard([&] { qputenv("HOME", realHome); });
    const QString knownHosts = home.filePath(QStringLiteral(".ssh/known_hosts"));

    frmTallyhost& form = MainForm();
    form.txtHTMLTemplate->setText(m_template);
    form.txtFTPSite->setText(server.site(chosen));
    form.txtUserName->setText(server.user());
    form.txtPassword->setText(server.password());
    form.txtUploadFileName->setText(QStringLiteral("page.htm"));
    form.txtUploadDir->setText(QString());

    MessageRecorder messages;
    TrustAnswerer answerer(trust);
    QCOMPARE(UploadPage(), trust);
    QCOMPARE(answerer.shown.size(), 1);
    // The fingerprint is shown in lines; read one after the other, they are the whole of it.
    const QString shown =
        QString(answerer.shown[0]).replace(QStringLiteral("<br>"), QStringLiteral(":"));
    QVERIFY2(shown.contains(ssh ? server.hostKeyFingerprint() : server.certificateFingerprint()),
             qPrintable(shown));
    QVERIFY2(shown.contains(ssh ? QStringLiteral("ecdsa-sha2-nistp256")
                                : QStringLiteral("Vantrell test authority")),
             qPrintable(shown));
    if (!ssh) {
        // Issued for "localhost" and reached as 127.0.0.1: more than a matter of who signed it.
        QVERIFY2(shown.contains(QStringLiteral("it is for localhost, not 127.0.0.1")),
                 qPrintable(shown));
        // Dates as people read them, not as ISO 8601 in UTC.
        QVERIFY2(!shown.contains(QRegularExpression(QStringLiteral("\\d{4}-\\d\\d-\\d\\dT"))),
                 qPrintable(shown));
    }

    const QString published = server.root() + QStringLiteral("/page.htm");
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "TallyhostUpdater");
    const QString storedFingerprint =
        settings.value(QStringLiteral("FTP/TrustedCertificate")).toString();
    if (!trust) {
        // The user's own choice, told plainly, not as an error.
        QCOMPARE(messages.messages.size(), 1);
        QVERIFY2(messages.texts()[0].contains(QRegularExpression(
                     QStringLiteral("^Not uploaded: you did not trust the %1 of 127\\.0\\.0\\.1:"
                                    "\\d+; nothing was sent\\.$")
                         .arg(ssh ? QStringLiteral("host key") : QStringLiteral("certificate")))),
                 qPrintable(messages.texts()[0]));
        QCOMPARE(messages.messages[0].icon, platform::MsgIcon::Information);
        QVERIFY2(!server.sawLoginOrPassword(), qPrintable(server.log().join(u'\n')));
        QVERIFY(!QFile::exists(published));
        QVERIFY(!QFile::exists(knownHosts));
        QCOMPARE(storedFingerprint, QString());
        return;
    }
    QCOMPARE(messages.texts(), QStringList{QStringLiteral("File successfully loaded.")});
    QCOMPARE(readFile(published), readFile(pagePath()));
    QCOMPARE(storedFingerprint, ssh ? QString() : server.certificateFingerprint());
    QCOMPARE(QFile::exists(knownHosts), ssh);

    // Trusted once, the server is not asked about again.
    QVERIFY2(UploadPage(), qPrintable(messages.texts().join(u'|')));
    QCOMPARE(answerer.shown.size(), 1);
}

void UploadTest::unattendedRefusalNamesTheKeyToFetch() {
    // The key type the server offered, so that the key fetched by hand has the fingerprint shown.
    platform::TrustProblem problem;
    problem.kind = platform::TrustProblem::Kind::NewHostKey;
    problem.host = QStringLiteral("127.0.0.1");
    problem.port = 2222;
    problem.keyType = QStringLiteral("ecdsa-sha2-nistp256");
    problem.fingerprint = QStringLiteral("SHA256:abc");
    MessageRecorder messages;
    QVERIFY(!AskToTrust(problem, true, QStringLiteral("/home/alex/.ssh/known_hosts"),
                        QStringLiteral("settings.ini")));
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY2(messages.texts()[0].contains(
                 QStringLiteral("(ecdsa-sha2-nistp256 SHA256:abc); the login was not sent.")),
             qPrintable(messages.texts()[0]));
    QVERIFY2(messages.texts()[0].contains(
                 QStringLiteral("ssh-keyscan -t ecdsa-sha2-nistp256 -p 2222 127.0.0.1 >> "
                                "/home/alex/.ssh/known_hosts")),
             qPrintable(messages.texts()[0]));
}

void UploadTest::visitorsSeeThePageOrAreToldWhy_data() {
    QTest::addColumn<QString>("path"); // where visitors open the page, on the web server
    QTest::addColumn<int>("staleSeconds");
    QTest::addColumn<QString>("said"); // empty: seen; URL for the page's address
    QTest::newRow("seen") << "page.htm" << 0 << "";
    QTest::newRow("cookies are not kept") << "odd/cookie/page.htm" << 0 << "";
    QTest::newRow("an older copy held on to")
        << "page.htm" << 60
        << "URL shows the page of %1: a cache in front of the site, or the upload folder is not "
           "the one the web server shows";
    QTest::newRow("a redirect loop")
        << "odd/loop" << 0
        << "URL redirects more than 5 times (a loop?), so browsers give up on it";
    QTest::newRow("a body that never ends")
        << "odd/endless" << 0
        << "URL sends more than 1024 KB, far more than the page uploaded: another page, or one "
           "that never ends";
    QTest::newRow("a slow drip") << "odd/drip" << 0
                                 << "URL sends the page too slowly: it was not whole after 2 s";
    QTest::newRow("a login page")
        << "odd/login/page.htm" << 0
        << "URL leads to a login page (SERVER/odd/signin?next=/page.htm): visitors cannot see the "
           "page without logging in";
}

// The window says what visitors see: on the status line, in a box when they do not see the
// page, and in History; every look is bounded in time and size.
void UploadTest::visitorsSeeThePageOrAreToldWhy() {
    QFETCH(QString, path);
    QFETCH(int, staleSeconds);
    QFETCH(QString, said);
    FtpServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    PageServer site;
    QVERIFY2(site.start({.root = server.root(), .staleSeconds = staleSeconds}),
             qPrintable(site.errorString()));
    SetPageLookPatience(1500ms, 3s);
    const auto patience = qScopeGuard([] { SetPageLookPatience(10s, 20s); });
    const QString url = site.url(path);
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, "TallyhostUpdater");
        settings.setValue(QStringLiteral("HTML/PageURL"), url);
    }
    pointAt(server);
    MessageRecorder messages;
    if (staleSeconds > 0) {
        QVERIFY(UploadPage());
        said = said.arg(QLocale::c().toString(QDateTime::currentDateTime(), "d MMM HH:mm"));
        QVERIFY(writeFile(m_template, "a newer page\n"));
        messages.messages.clear();
    }
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(UploadPage(), said.isEmpty());
    QVERIFY(clock.elapsed() < 10000);
    QCOMPARE(readFile(server.root() + QStringLiteral("/page.htm")), readFile(pagePath()));
    const QLabel& status = *MainForm().lblStatus;
    frmHistory history;
    LoadHistory(history);
    const QTreeWidgetItem* last = history.lstHistory->topLevelItem(0);
    QVERIFY(last);
    if (said.isEmpty()) {
        QCOMPARE(messages.texts(), QStringList{QStringLiteral("File successfully loaded.")});
        QVERIFY2((status.text() + status.toolTip()).contains(" and seen at " + url),
                 qPrintable(status.text()));
        QCOMPARE(last->text(2), QStringLiteral("Published"));
        QCOMPARE(last->text(6), QStringLiteral("Seen at ") + url);
        // Asked as a browser asks: no cookie kept from the way there, no cache's old copy.
        for (const QString& request : site.requests())
            QVERIFY2(request.endsWith(" cache-control=no-cache cookie="), qPrintable(request));
        return;
    }
    said.replace(QStringLiteral("URL"), url)
        .replace(QStringLiteral("SERVER"), site.url(QString()).chopped(1));
    QCOMPARE(messages.texts(), QStringList{QStringLiteral("Uploaded, not seen: ") + said});
    QCOMPARE(messages.messages[0].icon, platform::MsgIcon::Exclamation);
    QVERIFY2(status.text().startsWith(QStringLiteral("Uploaded, not seen at ")),
             qPrintable(status.text()));
    QCOMPARE(last->text(2), QStringLiteral("Uploaded, not seen"));
    QCOMPARE(last->text(6), said);
    if (staleSeconds > 0)
        QVERIFY2(clock.elapsed() >= 3000, "looked again while the cache could let go");
}

// A key with a passphrase, outside any agent, is asked for in the window, three times at most;
// the passphrase is never written anywhere. The site takes keys only, and no password is set.
void UploadTest::lockedKeyIsAskedForInTheWindow_data() {
    QTest::addColumn<QStringList>("answers"); // what the user types, in turn; "-": declines
    QTest::addColumn<QString>("outcome");     // "published", or how the message starts
    QTest::newRow("right at once") << QStringList{"open sesame"} << "published";
    QTest::newRow("wrong, then right") << QStringList{"open says me", "open sesame"} << "published";
    QTest::newRow("declined") << QStringList{"-"}
                              << "Unable to upload file: Login denied: no key was offered; no "
                                 "password is set; ~/.ssh/id_ed25519 was left out, without its "
                                 "passphrase";
    QTest::newRow("wrong three times")
        << QStringList{"a", "b", "c"}
        << "Unable to upload file: Login denied: no key was offered; no password is set; "
           "~/.ssh/id_ed25519 was left out, without its passphrase";
}

void UploadTest::lockedKeyIsAskedForInTheWindow() {
    QFETCH(QStringList, answers);
    QFETCH(QString, outcome);
    if (const QString why = SshdServer::unavailable(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QTemporaryDir home;
    const QByteArray realHome = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    const auto restoreHome = qScopeGuard([&] { qputenv("HOME", realHome); });
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral(".ssh")));
    const QString key = home.filePath(QStringLiteral(".ssh/id_ed25519"));
    const QString line = MakeKeyPair(key, QStringLiteral("open sesame"));
    QVERIFY(!line.isEmpty());
    SshdServer server;
    QVERIFY2(server.start({.keysOnly = true, .authorizedKeys = {line}}),
             qPrintable(server.errorString()));
    QVERIFY(writeFile(home.filePath(QStringLiteral(".ssh/known_hosts")),
                      server.knownHostsLine(SshdServer::Ed25519).toUtf8() + '\n'));
    frmTallyhost& form = MainForm();
    form.txtHTMLTemplate->setText(m_template);
    form.txtIPParseField[0]->setText(QStringLiteral("%Tallyhost%"));
    form.txtFTPSite->setText(server.site());
    form.txtUserName->setText(server.user());
    form.txtPassword->clear();
    form.txtUploadFileName->setText(QStringLiteral("page.htm"));
    form.txtUploadDir->clear();

    QStringList asked;
    const platform::SecretHandler previous =
        platform::SetSecretHandler([&](const platform::Message& m) -> std::optional<QString> {
            asked << m.text;
            const QString answer = answers.value(asked.size() - 1, QStringLiteral("-"));
            return answer == u"-" ? std::nullopt : std::optional<QString>(answer);
        });
    const auto restoreHandler = qScopeGuard([&] { platform::SetSecretHandler(previous); });
    MessageRecorder messages;
    QCOMPARE(UploadPage(), outcome == u"published");
    QCOMPARE(asked.size(), std::min<int>(int(answers.size()), 3));
    QVERIFY2(asked[0].startsWith(QStringLiteral("The key %1 is locked.").arg(key)),
             qPrintable(asked[0]));
    if (outcome == u"published") {
        QCOMPARE(messages.texts(), QStringList{QStringLiteral("File successfully loaded.")});
        QCOMPARE(readFile(server.root() + QStringLiteral("/page.htm")), readFile(pagePath()));
    } else {
        QVERIFY2(messages.texts().value(0).startsWith(outcome),
                 qPrintable(messages.texts().join('|')));
        QVERIFY(!QFile::exists(server.root() + QStringLiteral("/page.htm")));
    }
    QVERIFY(!server.sawPassword());
    SaveSettings();
    QVERIFY(!readFile(m_box->config.filePath(QStringLiteral("TallyhostUpdater.ini")))
                 .contains("sesame"));
}

QTEST_MAIN(UploadTest)
#include "tst_upload.moc"
