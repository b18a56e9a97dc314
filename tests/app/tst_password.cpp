// Where the password is kept: GNOME Keyring's secret store on a session bus of the test's own,
// or the settings file; saved from the window, read by "vantrell /A" in a process of its own.

#include "FtpServer.h"
#include "JobSandbox.h"
#include "SessionBusDaemon.h"
#include "TestFiles.h"
#include "frmOptions.h"
#include "frmTallyhost.h"
#include "modPassword.h"
#include "modTallyhost.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QtTest>

class PasswordTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void savedPasswordGoesToTheKeyring();
    void choosingTheFileMovesItBack();
    void handWrittenPasswordStillWorks();
    void unreadableKeyringStopsTheRun_data();
    void unreadableKeyringStopsTheRun();

private:
    void pointAtServer(const QString& password);
    QString settingsFile() const {
        return m_box->config.filePath(QStringLiteral("TallyhostUpdater.ini"));
    }
    QString key() const { return m_ftp.user() + u'@' + m_ftp.url().mid(6); }
    // One "vantrell /A" to its end, on the test's bus unless told otherwise: its exit status,
    // and what it wrote to standard error.
    int publish(QByteArray* errors, bool onBus = true, bool locked = false);
    QString published() const { return readFile(m_ftp.root() + QStringLiteral("/pub/ip.htm")); }

    SessionBusDaemon m_bus;
    SecretStore m_store;
    FtpServer m_ftp;
    QTemporaryDir m_state;
    std::unique_ptr<JobSandbox> m_box;
};

void PasswordTest::initTestCase() {
    if (const QString why = SecretStore::unavailable(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY2(m_bus.start(), qPrintable(m_bus.errorString()));
    // Before anything in this process looks for a session bus: the keyring library keeps the
    // first it finds.
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toLocal8Bit());
    QVERIFY2(m_store.start(m_bus.address(), true), qPrintable(m_store.errorString()));
    QVERIFY2(m_ftp.start(), qPrintable(m_ftp.errorString()));
    QVERIFY(QDir(m_ftp.root()).mkpath(QStringLiteral("pub")));
}

void PasswordTest::init() {
    m_box = std::make_unique<JobSandbox>();
    QVERIFY(m_box->isValid());
    QFile::remove(m_ftp.root() + QStringLiteral("/pub/ip.htm"));
}

void PasswordTest::cleanup() {
    m_box.reset();
}

void PasswordTest::pointAtServer(const QString& password) {
    const QString page = m_box->files.filePath(QStringLiteral("template.htm"));
    QVERIFY(writeFile(page, "<p>%Tallyhost%</p>\n"));
    frmTallyhost& form = MainForm();
    form.txtHTMLTemplate->setText(page);
    form.txtIPParseField[0]->setText(QStringLiteral("%Tallyhost%"));
    form.txtFTPSite->setText(m_ftp.url().mid(6));
    form.txtUserName->setText(m_ftp.user());
    form.txtPassword->setText(password);
    form.txtUploadFileName->setText(QStringLiteral("ip.htm"));
    form.txtUploadDir->setText(QStringLiteral("pub"));
}

int PasswordTest::publish(QByteArray* errors, bool onBus, bool) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR",
                             "DBUS_SESSION_BUS_ADDRESS", "SSH_AUTH_SOCK"})
        env.remove(QString::fromLatin1(name));
    if (onBus)
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.address());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_box->config.path());
    env.insert(QStringLiteral("XDG_STATE_HOME"), m_state.path());
    env.insert(QStringLiteral("windir"), m_box->windir.path());
    env.insert(QStringLiteral("HOME"), m_state.path());
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("VANTRELL_BINARY"), {QStringLiteral("/A")});
    if (!program.waitForFinished(60000))
        return -1;
    *errors = program.readAllStandardError();
    return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
}

// Saved from the window, the password is in the keyring and nowhere in the file, Options says
// so, and a run nobody watches finds it there.
void PasswordTest::savedPasswordGoesToTheKeyring() {
    pointAtServer(m_ftp.password());
    SaveSettings();
    const QByteArray file = readFile(settingsFile());
    QVERIFY2(file.contains("UserName=") && file.count("Password") == 0, file.constData());
    QCOMPARE(m_store.lookup(key()), m_ftp.password());

    frmOptions options(&MainForm());
    LoadPasswordOptions(options);
    QVERIFY(options.optPasswordKeyring->isChecked());
    QVERIFY2(options.lblPasswordPlace->text().startsWith(
                 QStringLiteral("The password is kept in the desktop keyring.")),
             qPrintable(options.lblPasswordPlace->text()));

    QByteArray errors;
    QCOMPARE(publish(&errors), 0);
    QCOMPARE(errors, QByteArray());
    QVERIFY(published().contains("<p>"));
    // The run moved nothing.
    QCOMPARE(readFile(settingsFile()), file);

    // Read back into the window as it starts.
    MainForm().txtPassword->clear();
    LoadSettings();
    QCOMPARE(MainForm().txtPassword->text(), m_ftp.password());
}

void PasswordTest::choosingTheFileMovesItBack() {
    pointAtServer(QStringLiteral("Moved-Back-1"));
    SaveSettings();
    QCOMPARE(m_store.lookup(key()), QStringLiteral("Moved-Back-1"));
    frmOptions options(&MainForm());
    LoadPasswordOptions(options);
    options.optPasswordFile->setChecked(true);
    QVERIFY(SavePasswordOptions(options));
    const QByteArray file = readFile(settingsFile());
    QVERIFY2(file.contains("\nPassword=Moved-Back-1\n") && file.contains("PasswordStore=file"),
             file.constData());
    QCOMPARE(m_store.lookup(key()), QString());

    // From then on, saving writes the file as before.
    MainForm().txtPassword->setText(m_ftp.password());
    SaveSettings();
    QVERIFY(readFile(settingsFile()).contains("\nPassword=" + m_ftp.password().toUtf8() + '\n'));
    QCOMPARE(m_store.lookup(key()), QString());
    QByteArray errors;
    QCOMPARE(publish(&errors), 0);
    QCOMPARE(errors, QByteArray());
}

// A Password line written by hand is used as it stands, by the window and by a run nobody
// watches, which leaves it; saving from the window moves it into the keyring, and takes it out
// of the file once the keyring has it.
void PasswordTest::handWrittenPasswordStillWorks() {
    pointAtServer(QString());
    SaveSettings();
    QByteArray file = readFile(settingsFile());
    file.replace("Password=\n", "Password=" + m_ftp.password().toUtf8() + '\n');
    QVERIFY(file.contains("Password=" + m_ftp.password().toUtf8()));
    QVERIFY(writeFile(settingsFile(), file));
    QByteArray errors;
    QCOMPARE(publish(&errors), 0);
    QCOMPARE(errors, QByteArray());
    QCOMPARE(readFile(settingsFile()), file);

    LoadSettings();
    QCOMPARE(MainForm().txtPassword->text(), m_ftp.password());
    SaveSettings();
    QCOMPARE(readFile(settingsFile()).count("Password"), 0);
    QCOMPARE(m_store.lookup(key()), m_ftp.password());
}

void PasswordTest::unreadableKeyringStopsTheRun_data() {
    QTest::addColumn<QString>("keyring"); // "locked", or "absent" (no session bus)
    QTest::addColumn<QString>("chosen");  // PasswordStore
    QTest::addColumn<QString>("said");
    const QString what = "; log in, or keep the password in the settings file with "
                         "PasswordStore=file";
    QTest::newRow("locked") << "locked"
                            << ""
                            << "Tallyhost: The password is in the desktop keyring, which is "
                               "locked: log in, or keep the password in the settings file with "
                               "PasswordStore=file\n";
    QTest::newRow("absent, the keyring chosen")
        << "absent"
        << "keyring"
        << "Tallyhost: The password is in the desktop keyring, which cannot be read (no session "
           "bus is reachable";
    // Where nobody chose the keyring and none answers, no password is one not set, as before.
    QTest::newRow("absent, nothing chosen")
        << "absent"
        << ""
        << "TallyhostUpdater: Must supply FTP password. If it is kept in the desktop keyring: "
           "none answers here (no session bus is reachable";
}

void PasswordTest::unreadableKeyringStopsTheRun() {
    QFETCH(QString, keyring);
    QFETCH(QString, chosen);
    QFETCH(QString, said);
    pointAtServer(m_ftp.password());
    SaveSettings();
    QCOMPARE(readFile(settingsFile()).count("Password"), 0);
    if (!chosen.isEmpty()) {
        QByteArray file = readFile(settingsFile());
        file.replace("[HTML]", "PasswordStore=" + chosen.toUtf8() + "\n\n[HTML]");
        QVERIFY(writeFile(settingsFile(), file));
    }
    const QByteArray before = readFile(settingsFile());
    if (keyring == "locked")
        QVERIFY2(m_store.start(m_bus.address(), false), qPrintable(m_store.errorString()));
    QByteArray errors;
    QElapsedTimer took;
    took.start();
    QCOMPARE(publish(&errors, keyring != "absent"), 1);
    QVERIFY2(errors.startsWith(said.toUtf8()) && errors.count('\n') == 1, errors.constData());
    QVERIFY(took.elapsed() < 20000);
    QCOMPARE(published(), QString::fromLatin1("<missing>"));
    QCOMPARE(readFile(settingsFile()), before);
    if (keyring == "locked")
        QVERIFY2(m_store.start(m_bus.address(), true), qPrintable(m_store.errorString()));
}

QTEST_MAIN(PasswordTest)
#include "tst_password.moc"
