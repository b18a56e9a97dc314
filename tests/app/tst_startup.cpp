#include "Recorders.h"
#include "TestFiles.h"
#include "frmOptions.h"
#include "frmTallyhost.h"
#include "modAddress.h"
#include "modNotice.h"
#include "modTallyhost.h"

#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <array>

#include <sys/stat.h>

namespace {

// The stored fields in the order of keys().
std::array<QLineEdit*, 7> storedFields(frmTallyhost& form) {
    return {form.txtFTPSite,         form.txtUserName,  form.txtPassword,    form.txtUploadFileName,
            form.txtIPParseField[0], form.txtUploadDir, form.txtHTMLTemplate};
}

const QStringList keys = {"FTP/FTPSite",        "FTP/UserName",      "FTP/Password",
                          "FTP/UploadFileName", "HTML/IPParseField", "HTML/UploadDir",
                          "HTML/HTMLTemplate"};

} // namespace

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unattendedSwitch_data();
    void unattendedSwitch();
    void firstRunLoadsDefaults();
    void valuesRoundTripExactly_data();
    void valuesRoundTripExactly();
    void handWrittenValuesLoadAsWritten_data();
    void handWrittenValuesLoadAsWritten();
    void saveChangesOnlyTheChangedLines_data();
    void saveChangesOnlyTheChangedLines();
    void misplacedKeysAreReported_data();
    void misplacedKeysAreReported();
    void exitStoresEditsAndCloseBoxDoesNot();
    void unreadableSettingsStartWithDefaults();
    void failedSaveIsReported_data();
    void failedSaveIsReported();
    void runWithoutADisplay_data();
    void runWithoutADisplay();

private:
    QString settingsFile() const {
        return m_config->filePath(QStringLiteral("TallyhostUpdater.ini"));
    }
    void unload();
    void useConfigFolder();
    void startFromFile(const QByteArray& bytes);
    QString olderBuildReads(const QString& key);

    std::unique_ptr<QTemporaryDir> m_config;
};

void StartupTest::init() {
    useConfigFolder();
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

void StartupTest::useConfigFolder() {
    m_config = std::make_unique<QTemporaryDir>();
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_config->path());
}

// A fresh start with this settings file. The file goes to a new folder each time, so that it is
// read from the disk rather than from what this process remembers of a file it wrote.
void StartupTest::startFromFile(const QByteArray& bytes) {
    unload();
    useConfigFolder();
    QVERIFY(writeFile(settingsFile(), bytes));
    LoadSettings();
}

// What a build that reads the file with QSettings' own INI reader finds under the key.
QString StartupTest::olderBuildReads(const QString& key) {
    const QString copy = m_config->filePath(QStringLiteral("older.ini"));
    QFile::remove(copy);
    if (!writeFile(copy, readFile(settingsFile())))
        return QStringLiteral("<no copy>");
    return QSettings(copy, QSettings::IniFormat).value(key, QStringLiteral("<none>")).toString();
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

void StartupTest::valuesRoundTripExactly_data() {
    QTest::addColumn<QStringList>("values");
    QTest::newRow("odd characters") << QStringList{
        "  ftp.example.org  ",
        "\"quoted\" name",
        "p=ss;w#rd\\%x%,y",
        "Bücher – ページ.htm",
        QString(), // a stored empty marker stays empty: the default is for a missing key
        "@at start",
        "C:\\web\\template.htm"};
    QTest::newRow("escapes") << QStringList{"tab\there",
                                            "line\nfeed\rreturn",
                                            QString("nul") + QChar(0) + "7",
                                            "\x01"
                                            "abc\x1f",
                                            "@String(x)",
                                            "@Invalid()",
                                            "C:\\temp\\new \"@@\""};
    // Longer than a text field takes unless told otherwise.
    QTest::newRow("long") << QStringList{"ftp.example.org",
                                         "user",
                                         QString(40000, 'w'),
                                         "index.htm",
                                         "%Tallyhost%",
                                         "www",
                                         "/srv/" + QString(70000, 'd') + "/page.htm"};
}

void StartupTest::valuesRoundTripExactly() {
    QFETCH(QStringList, values);
    {
        frmTallyhost& form = MainForm();
        const auto fields = storedFields(form);
        for (int i = 0; i < 7; ++i)
            fields[i]->setText(values[i]);
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

    // Older builds read what this one writes.
    for (int i = 0; i < 7; ++i)
        QCOMPARE(olderBuildReads(keys[i]), values[i]);

    startFromFile(text);
    for (int i = 0; i < 7; ++i)
        QCOMPARE(storedFields(MainForm())[i]->text(), values[i]);

    // A file that an older build wrote loads as it did.
    const QString older = m_config->filePath("older-build.ini");
    {
        QSettings settings(older, QSettings::IniFormat);
        for (int i = 0; i < 7; ++i)
            settings.setValue(keys[i], values[i]);
    }
    startFromFile(readFile(older));
    for (int i = 0; i < 7; ++i)
        QCOMPARE(storedFields(MainForm())[i]->text(), values[i]);
}

void StartupTest::handWrittenValuesLoadAsWritten_data() {
    QTest::addColumn<QByteArray>("written"); // after "Password="
    QTest::addColumn<QString>("loaded");

    // A few of tst_inicodec's forms, through the window. Taken exactly as written, to the end
    // of the line:
    QTest::newRow("comma") << QByteArray("a,b") << "a,b";
    QTest::newRow("semicolon") << QByteArray("pa;ss") << "pa;ss";
    QTest::newRow("backslashes") << QByteArray("C:\\web\\page.htm") << "C:\\web\\page.htm";
    QTest::newRow("CR LF") << QByteArray("secret\r") << "secret";

    // Exactly what the program writes, decoded as it always was:
    QTest::newRow("quoted") << QByteArray("\"a,b; c\"") << "a,b; c";
    QTest::newRow("escaped backslash") << QByteArray("p\\\\ss") << "p\\ss";
    QTest::newRow("named escape") << QByteArray("C:\\temp") << "C:\temp";
}

void StartupTest::handWrittenValuesLoadAsWritten() {
    QFETCH(QByteArray, written);
    QFETCH(QString, loaded);
    startFromFile("[FTP]\nFTPSite=ftp.example.org\nPassword=" + written +
                  "\nUserName=after\n\n[HTML]\nUploadDir=www\n");
    frmTallyhost& form = MainForm();
    QCOMPARE(form.txtPassword->text(), loaded);
    // Nothing before or after the line is lost to it.
    QCOMPARE(form.txtFTPSite->text(), QString("ftp.example.org"));
    QCOMPARE(form.txtUserName->text(), QString("after"));
    QCOMPARE(form.txtUploadDir->text(), QString("www"));

    // The next save leaves the line as it was written, and it loads as before.
    SaveSettings();
    QVERIFY(readFile(settingsFile()).contains("\nPassword=" + written + '\n'));
    startFromFile(readFile(settingsFile()));
    QCOMPARE(MainForm().txtPassword->text(), loaded);

    // Once changed, it is written so that older builds read it as this one does.
    MainForm().txtPassword->setText(loaded + ",2");
    SaveSettings();
    QCOMPARE(olderBuildReads("FTP/Password"), loaded + ",2");
    QCOMPARE(olderBuildReads("HTML/UploadDir"), QString("www"));
    startFromFile(readFile(settingsFile()));
    QCOMPARE(MainForm().txtPassword->text(), loaded + ",2");
}

void StartupTest::saveChangesOnlyTheChangedLines_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("key"); // the field changed in the window, by its key
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    const QByteArray byHand = "; Vantrell, set up by hand\n"
                              "[HTML]\n"
                              "UploadDir=www\n"
                              "IPParseField=%Tallyhost%\n"
                              "HTMLTemplate=C:\\web\\t.htm\n"
                              "\n"
                              "[FTP]\n"
                              "  Password=my;pass,word\"1\n"
                              "UserName=me\n"
                              "; the site moves next year\n"
                              "FTPSite=ftp.example.org\n"
                              "UploadFileName=index.htm\n";
    QTest::newRow("nothing changed") << byHand << QString() << QString() << byHand;
    QTest::newRow("one value changed")
        << byHand << "FTP/FTPSite"
        << "ftp2.example.org"
        << QByteArray(byHand).replace("FTPSite=ftp.example.org", "FTPSite=ftp2.example.org");

    const QByteArray windows = "[FTP]\r\nFTPSite=a\r\nUserName=me\r\nPassword=pw\r\n"
                               "UploadFileName=x.htm\r\n\r\n[HTML]\r\nHTMLTemplate=t.htm\r\n"
                               "IPParseField=%Tallyhost%\r\nUploadDir=up";
    QTest::newRow("CR LF, and no line break at the end")
        << windows << "HTML/UploadDir"
        << "down" << QByteArray(windows).replace("UploadDir=up", "UploadDir=down");

    QTest::newRow("missing keys go after the last key of their section")
        << QByteArray("[FTP]\nFTPSite=a\nPassword=pw\n; comment\n\n[HTML]\n"
                      "HTMLTemplate=t.htm\nIPParseField=%Tallyhost%\nUploadDir=\n")
        << "FTP/UserName"
        << "me"
        << QByteArray("[FTP]\nFTPSite=a\nPassword=pw\nUploadFileName=\nUserName=me\n"
                      "; comment\n\n[HTML]\nHTMLTemplate=t.htm\nIPParseField=%Tallyhost%\n"
                      "UploadDir=\n");
    QTest::newRow("a missing section goes at the end")
        << QByteArray("; only FTP so far\n[FTP]\nFTPSite=a\nUserName=me\nPassword=pw\n"
                      "UploadFileName=x.htm")
        << "HTML/UploadDir"
        << "www"
        << QByteArray("; only FTP so far\n[FTP]\nFTPSite=a\nUserName=me\nPassword=pw\n"
                      "UploadFileName=x.htm\n\n[HTML]\nHTMLTemplate=\n"
                      "IPParseField=%Tallyhost%\nUploadDir=www\n");
}

// A file written by hand keeps its comments, order and spelling: only the lines whose values
// changed are written anew, keys it lacks go after the last key of their section, and the file
// stays private. The codec's own cases are in tst_inicodec.
void StartupTest::saveChangesOnlyTheChangedLines() {
    QFETCH(QByteArray, before);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    startFromFile(before);
    QVERIFY(QFile::setPermissions(settingsFile(), QFile::ReadOwner | QFile::WriteOwner));
    if (!key.isEmpty())
        storedFields(MainForm())[keys.indexOf(key)]->setText(value);
    SaveSettings();
    QCOMPARE(readFile(settingsFile()), after);
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(settingsFile()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    if (!key.isEmpty()) {
        startFromFile(after);
        QCOMPARE(storedFields(MainForm())[keys.indexOf(key)]->text(), value);
    }
}

void StartupTest::misplacedKeysAreReported_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message"); // after "Unable to use settings in FILE: "; none: ""
    QTest::newRow("upload folder under FTP")
        << QByteArray("[FTP]\nFTPSite=a\nUploadDir=www\n[HTML]\nHTMLTemplate=t.htm\n")
        << "UploadDir under [FTP] belongs under [HTML].";
    QTest::newRow("key spelled in other cases")
        << QByteArray("[HTML]\nuploaddir=www\n") << "uploaddir under [HTML] is spelled UploadDir.";
    QTest::newRow("section spelled in other cases")
        << QByteArray("[ftp]\nFTPSite=a\n") << "FTPSite under [ftp] belongs under [FTP].";
    QTest::newRow("no section at all")
        << QByteArray("ftpsite=a\nSource=web\n")
        << "Source outside any section belongs under [Address]; ftpsite outside any section is "
           "spelled FTPSite and belongs under [FTP].";
    QTest::newRow("the IPv6 marker beside the address settings")
        << QByteArray("[HTML]\nIPParseField=%ip%\n[Address]\nIPv6Marker=%ip6%\nStunServers=s:1\n"
                      "temporaryipv6=True\n")
        << "IPv6Marker under [Address] belongs under [HTML]; temporaryipv6 under [Address] is "
           "spelled TemporaryIPv6.";
    // Before, saving added an empty Password= under [FTP] beside the one the user wrote.
    QTest::newRow("the password under HTML")
        << QByteArray("[FTP]\nFTPSite=a\n[HTML]\nPassword=secret\n")
        << "Password under [HTML] belongs under [FTP].";
    QTest::newRow("keys the program does not know are left alone")
        << QByteArray("[FTP]\nFTPSite=a\nColour=blue\n[Notes]\nWhy=test\n") << QString();
    QTest::newRow("every key in its place")
        << QByteArray("[FTP]\nFTPSite=a\nTrustedCertificate=x\n[HTML]\nUploadDir=www\n"
                      "[Address]\nSource=web\n")
        << QString();
}

// A key where the program does not read it is said, not passed over; it is not used, and
// saving keeps it where it stands.
void StartupTest::misplacedKeysAreReported() {
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    startFromFile(file);
    MessageRecorder messages;
    QCOMPARE(ReportMisplacedSettings(), message.isEmpty());
    if (message.isEmpty()) {
        QCOMPARE(messages.texts(), QStringList());
        return;
    }
    QCOMPARE(messages.texts(),
             QStringList{"Unable to use settings in " + settingsFile() + ": " + message});
    QCOMPARE(messages.messages[0].icon, platform::MsgIcon::Exclamation);
    if (file.contains("[FTP]\nFTPSite=a\nUploadDir=www"))
        QCOMPARE(MainForm().txtUploadDir->text(), QString());
    SaveSettings();
    const QByteArray saved = readFile(settingsFile());
    for (const QByteArray& line : file.split('\n'))
        QVERIFY2(saved.contains(line + '\n'), line.constData());
    // Nor is an empty key added for one that stands elsewhere.
    for (const QByteArray& line : saved.split('\n'))
        if (line.endsWith('=') && !file.contains(line + '\n'))
            QVERIFY2(!file.toLower().contains('\n' + line.toLower().chopped(1)) &&
                         !file.toLower().startsWith(line.toLower().chopped(1)),
                     line.constData());
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

void StartupTest::failedSaveIsReported_data() {
    QTest::addColumn<QString>("inItsPlace");
    // A folder cannot be written, even by root. A pipe nobody writes and a device that never
    // ends may neither hang the start nor fill the memory.
    QTest::newRow("a folder") << "folder";
    QTest::newRow("a pipe") << "pipe";
    QTest::newRow("a link to an endless device") << "link";
}

void StartupTest::failedSaveIsReported() {
    QFETCH(QString, inItsPlace);
    if (inItsPlace == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(settingsFile()));
    if (inItsPlace == QLatin1String("pipe"))
        QCOMPARE(::mkfifo(QFile::encodeName(settingsFile()).constData(), 0600), 0);
    if (inItsPlace == QLatin1String("link"))
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), settingsFile()));
    LoadSettings();
    QCOMPARE(MainForm().txtIPParseField[0]->text(), QStringLiteral("%Tallyhost%"));

    MessageRecorder messages;
    MainForm().txtFTPSite->setText(QStringLiteral("x"));
    SaveSettings();
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY(messages.messages[0].text.contains(settingsFile()));
    QCOMPARE(messages.messages[0].icon, platform::MsgIcon::Critical);
    QCOMPARE(messages.messages[0].title, QStringLiteral("Tallyhost"));

    // Tools > Options and its notice switch say the same, once each.
    frmOptions dialog(&MainForm());
    LoadOptions(dialog);
    QVERIFY(!dialog.maySave());
    QVERIFY(!SetNoticeOnAddressChange(true));
    QCOMPARE(messages.texts(), QStringList(3, "Unable to save settings to " + settingsFile()));
    for (const platform::Message& m : std::as_const(messages.messages))
        QCOMPARE(m.icon, platform::MsgIcon::Critical);
    // Left as it was.
    QVERIFY(!QFileInfo(settingsFile()).isFile());
}

void StartupTest::runWithoutADisplay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("display"); // named, but nothing answers there
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("relativeConfig"); // XDG_CONFIG_HOME names no absolute folder

    QTest::newRow("no display") << QStringList{"/a"} << false << 1 << false;
    QTest::newRow("display gone") << QStringList{"/A"} << true << 1 << false;
    // The toolkit takes these options and the word after them for itself.
    QTest::newRow("after a toolkit option") << QStringList{"-style", "/A"} << false << 1 << false;
    QTest::newRow("after a toolkit option, display gone")
        << QStringList{"-qwindowtitle", "/a"} << true << 1 << false;
    // Nobody would ever see the window.
    QTest::newRow("for a person, display gone") << QStringList{} << true << 2 << false;
    QTest::newRow("for a person, no display") << QStringList{} << false << 2 << false;
    // Not a folder under wherever the run starts: the usual ~/.config.
    QTest::newRow("relative config folder") << QStringList{"/A"} << false << 1 << true;
}

void StartupTest::runWithoutADisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, display);
    QFETCH(int, status);
    QFETCH(bool, relativeConfig);

    // What cron sees: no runtime folder, an empty settings store, and a display that is not
    // there or gone.
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR", "XDG_SESSION_TYPE"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config->path());
    if (relativeConfig) {
        const QString home = m_config->filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkdir(home));
        QVERIFY(QFile::link(m_config->path(), home + QStringLiteral("/.config")));
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral("elsewhere"));
        program.setWorkingDirectory(m_config->path());
    }
    QString binary = qEnvironmentVariable("VANTRELL_BINARY");
    if (display) {
        int number = 99;
        while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            ++number;
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(number));
        // The X library falls back to TCP on localhost: in a network of its own nothing
        // answers, and nothing leaves the machine.
        arguments.prepend(binary);
        arguments =
            QStringList{"-n", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\""} + arguments;
        binary = QStringLiteral("unshare");
    }
    program.setProcessEnvironment(env);
    program.start(binary, arguments);
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    const QByteArray error = program.readAllStandardError();
    QCOMPARE(program.exitCode(), status);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
    if (status == 1) {
        QCOMPARE(error, QByteArray("TallyhostUpdater: Must supply HTML Template file name.\n"));
        QVERIFY(QFile::exists(settingsFile())); // the empty fields were saved on the way out
        QVERIFY(!QFile::exists(m_config->filePath(QStringLiteral("elsewhere"))));
    } else {
        // One line that says what is missing and how to run without it; nothing was saved.
        QVERIFY2(error.startsWith("Tallyhost: Cannot open a display (") &&
                     error.endsWith("; to publish the page without one, run: vantrell /A\n") &&
                     error.count('\n') == 1,
                 error.constData());
        QVERIFY(!QFile::exists(settingsFile()));
    }
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
