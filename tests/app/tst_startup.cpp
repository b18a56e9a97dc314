#include "Recorders.h"
#include "frmTallyhost.h"
#include "modTallyhost.h"

#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unattendedSwitch_data();
    void unattendedSwitch();
    void firstRunLoadsDefaults();
    void valuesRoundTripExactly();
    void exitStoresEditsAndCloseBoxDoesNot();
    void unreadableSettingsStartWithDefaults();
    void failedSaveIsReported();
    void headlessRunPrintsOnlyTheMessage();

private:
    QString settingsFile() const {
        return m_config->filePath(QStringLiteral("TallyhostUpdater.ini"));
    }
    void unload();

    std::unique_ptr<QTemporaryDir> m_config;
};

void StartupTest::init() {
    m_config = std::make_unique<QTemporaryDir>();
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_config->path());
}

void StartupTest::cleanup() {
    unload();
    m_config.reset();
}

void StartupTest::unload() {
    if (MainFormLoaded()) {
        MainForm().deleteLater();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void StartupTest::unattendedSwitch_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("unattended");
    QTest::newRow("lower case") << QStringList{"/a"} << true;
    QTest::newRow("inside a word") << QStringList{"x/Ay"} << true;
    QTest::newRow("longer switch") << QStringList{"/AUTO"} << true;
    QTest::newRow("in a path") << QStringList{"c:/apps"} << true;
    QTest::newRow("second argument") << QStringList{"-v", "/A"} << true;
    QTest::newRow("none") << QStringList{} << false;
    QTest::newRow("other switch") << QStringList{"/B", "A"} << false;
    QTest::newRow("backslash") << QStringList{"\\A"} << false;
}

void StartupTest::unattendedSwitch() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, unattended);
    const QString line = CommandLineText(arguments);
    QCOMPARE(line, line.toUpper());
    QCOMPARE(HasUnattendedSwitch(line), unattended);
}

void StartupTest::firstRunLoadsDefaults() {
    frmTallyhost& form = MainForm();
    QCOMPARE(form.txtFTPSite->text(), QStringLiteral(" ")); // design text until loaded
    LoadSettings();
    for (QLineEdit* f : {form.txtFTPSite, form.txtUserName, form.txtPassword,
                         form.txtUploadFileName, form.txtUploadDir, form.txtHTMLTemplate})
        QCOMPARE(f->text(), QString());
    QCOMPARE(form.txtIPParseField[0]->text(), QStringLiteral("%Tallyhost%"));
    QCOMPARE(form.txtIPParseField[1]->text(), QStringLiteral("%Date%"));
    QCOMPARE(form.txtIPParseField[2]->text(), QStringLiteral("%Time%"));
    QVERIFY(!QFile::exists(settingsFile())); // loading writes nothing
}

void StartupTest::valuesRoundTripExactly() {
    const QStringList odd = {
        QStringLiteral("  ftp.example.org  "),
        QStringLiteral("\"quoted\" name"),
        QStringLiteral("p=ss;w#rd\\%x%,y"),
        QStringLiteral("Bücher – ページ.htm"),
        QString(),
        QStringLiteral("@at start"),
        QStringLiteral("C:\\web\\template.htm"),
    };
    {
        frmTallyhost& form = MainForm();
        QLineEdit* fields[] = {form.txtFTPSite,        form.txtUserName,        form.txtPassword,
                               form.txtUploadFileName, form.txtIPParseField[0], form.txtUploadDir,
                               form.txtHTMLTemplate};
        for (int i = 0; i < 7; ++i)
            fields[i]->setText(odd[i]);
        SaveSettings();
    }
    unload();

    QFile file(settingsFile());
    QVERIFY(file.exists());
    // The file holds a password in plain text: nobody but its owner may read it.
    const auto others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                        QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(file.permissions() & others, QFile::Permissions());
    QVERIFY(file.permissions().testFlags(QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.contains("[FTP]"));
    QVERIFY(text.contains("[HTML]"));
    QVERIFY(text.contains("UploadDir="));

    frmTallyhost& form = MainForm();
    LoadSettings();
    QLineEdit* fields[] = {form.txtFTPSite,        form.txtUserName,        form.txtPassword,
                           form.txtUploadFileName, form.txtIPParseField[0], form.txtUploadDir,
                           form.txtHTMLTemplate};
    for (int i = 0; i < 7; ++i)
        QCOMPARE(fields[i]->text(), odd[i]);
    // A stored empty marker stays empty: the default is only for a missing key.
    QCOMPARE(form.txtIPParseField[0]->text(), QString());
}

void StartupTest::exitStoresEditsAndCloseBoxDoesNot() {
    EndRecorder ends;
    {
        frmTallyhost& form = MainForm();
        form.show();
        LoadSettings();
        form.txtFTPSite->setText(QStringLiteral("edited.example.org"));
        form.mnuExit->trigger();
    }
    QCOMPARE(ends.statuses, QList<int>{0});
    QVERIFY(!MainFormLoaded());
    unload();

    {
        frmTallyhost& form = MainForm();
        form.show();
        LoadSettings();
        QCOMPARE(form.txtFTPSite->text(), QStringLiteral("edited.example.org"));
        form.txtFTPSite->setText(QStringLiteral("lost.example.org"));
        QVERIFY(form.close());
    }
    unload();

    MainForm();
    LoadSettings();
    QCOMPARE(MainForm().txtFTPSite->text(), QStringLiteral("edited.example.org"));
}

void StartupTest::unreadableSettingsStartWithDefaults() {
    {
        QFile garbage(settingsFile());
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray("\x00\xff[FTP\n=\n\x01\x02garbage", 20));
    }
    LoadSettings();
    QCOMPARE(MainForm().txtIPParseField[0]->text(), QStringLiteral("%Tallyhost%"));
    QCOMPARE(MainForm().txtFTPSite->text(), QString());

    QVERIFY(QFile::remove(settingsFile()));
    QVERIFY(QDir().mkdir(settingsFile()));
    LoadSettings();
    QCOMPARE(MainForm().txtIPParseField[0]->text(), QStringLiteral("%Tallyhost%"));
}

void StartupTest::failedSaveIsReported() {
    // A folder where the file belongs cannot be written, even by root.
    QVERIFY(QDir().mkdir(settingsFile()));
    MessageRecorder messages;
    MainForm().txtFTPSite->setText(QStringLiteral("x"));
    SaveSettings();
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY(messages.messages[0].text.contains(settingsFile()));
    QCOMPARE(messages.messages[0].icon, platform::MsgIcon::Critical);
    QCOMPARE(messages.messages[0].title, QStringLiteral("Tallyhost"));
    QVERIFY(QFileInfo(settingsFile()).isDir());
}

void StartupTest::headlessRunPrintsOnlyTheMessage() {
    // What cron sees: no display, no runtime folder, an empty settings store.
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config->path());
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("VANTRELL_BINARY"), {QStringLiteral("/a")});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    QCOMPARE(program.readAllStandardError(),
             QByteArray("TallyhostUpdater: Must supply HTML Template file name.\n"));
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
    QVERIFY(QFile::exists(settingsFile())); // the empty fields were saved on the way out
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
