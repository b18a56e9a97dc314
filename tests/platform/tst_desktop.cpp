// The desktop stand-ins: registry value decoding, the shell's open service and the search for
// the system information program; and what the shell and the desktop read about the program:
// its --help and --version, its desktop entry, AppStream listing and manual page.
#include "Autostart.h"
#include "Registry.h"
#include "Schedule.h"
#include "Shell.h"
#include "SysInfo.h"
#include "TestFiles.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace platform;

// Receives what the system's URL handling hands over, instead of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class tst_desktop : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void decodeKeyValue();
    void registryAbsentOutsideWindows();
    void shellHandlerReceivesRequestInOrder();
    void shellOpensAddressWithSlashes();
    void recordedPathFromMachineSettings();
    void searchPathTakesFirstOrdinaryExecutable();
    void shellAndDesktopReadThePrograms_data();
    void shellAndDesktopReadThePrograms();
    void autostartEntryStartsTheProgram_data();
    void autostartEntryStartsTheProgram();
    void scheduleUnitsGoWhereTheManagerLooks_data();
    void scheduleUnitsGoWhereTheManagerLooks();

private:
    QString makeFile(const QString& path, bool executable);
    QTemporaryDir m_dir;
    QByteArray m_path;
};

void tst_desktop::init() {
    QVERIFY(m_dir.isValid());
    m_path = qgetenv("PATH");
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_dir.filePath("etc"));
}

void tst_desktop::cleanup() {
    qputenv("PATH", m_path);
    QSettings settings(QSettings::IniFormat, QSettings::SystemScope, "TallyhostUpdater");
    settings.clear();
}

QString tst_desktop::makeFile(const QString& path, bool executable) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    file.setPermissions(executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                   : QFile::ReadOwner | QFile::WriteOwner);
    return path;
}

void tst_desktop::decodeKeyValue() {
    using namespace platform::registry;
    QString val = "old";

    // A string with and without its final NUL.
    QVERIFY(DecodeKeyValue(TypeString, QByteArray("C:\\Tools\\msinfo32.exe\0", 22), 22, val));
    QCOMPARE(val, QString("C:\\Tools\\msinfo32.exe"));
    QVERIFY(DecodeKeyValue(TypeString, QByteArray("C:\\x"), 4, val));
    QCOMPARE(val, QString("C:\\x"));
    // Only the reported size counts, not what else the buffer holds.
    QVERIFY(DecodeKeyValue(TypeString, QByteArray("abcdef"), 3, val));
    QCOMPARE(val, QString("abc"));
    // Only one final NUL goes.
    QVERIFY(DecodeKeyValue(TypeString, QByteArray("ab\0\0", 4), 4, val));
    QCOMPARE(val, QString::fromLatin1("ab\0", 3));

    // A number, least significant byte first; a large one stays unsigned.
    QVERIFY(DecodeKeyValue(TypeNumber, QByteArray("\x02\x01\x00\x00", 4), 4, val));
    QCOMPARE(val, QString("258"));
    QVERIFY(DecodeKeyValue(TypeNumber, QByteArray("\xff\xff\xff\xff", 4), 4, val));
    QCOMPARE(val, QString("4294967295"));

    // The whole read buffer can be used; one byte more cannot be read.
    QVERIFY(DecodeKeyValue(TypeString, QByteArray(1024, 'a'), 1024, val));
    QCOMPARE(val.size(), 1024);
    val = "old";
    QVERIFY(!DecodeKeyValue(TypeString, QByteArray(1025, 'a'), 1025, val));
    QCOMPARE(val, QString());
    // A size beyond what the buffer holds is never read past it.
    val = "old";
    QVERIFY(!DecodeKeyValue(TypeString, QByteArray(8, 'a'), 9, val));
    QCOMPARE(val, QString());

    // Other types are read but leave the text as it was.
    val = "kept";
    QVERIFY(DecodeKeyValue(TypeExpandString, QByteArray("%windir%\\x\0", 11), 11, val));
    QCOMPARE(val, QString("kept"));
    QVERIFY(DecodeKeyValue(TypeMultiString, QByteArray("a\0b\0\0", 5), 5, val));
    QCOMPARE(val, QString("kept"));

    // No data at all is an error for the caller, whatever the type.
    QVERIFY_THROWS_EXCEPTION(EmptyValueError,
                             DecodeKeyValue(TypeString, QByteArray(16, 0), 0, val));
    QVERIFY_THROWS_EXCEPTION(EmptyValueError, DecodeKeyValue(TypeNumber, QByteArray(), 0, val));
}

void tst_desktop::registryAbsentOutsideWindows() {
#ifdef Q_OS_WIN
    QSKIP("Windows has a registry");
#endif
    QString val = "old";
    QVERIFY(!registry::GetKeyValue(registry::LocalMachine,
                                   "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH", val));
    QCOMPARE(val, QString());
}

void tst_desktop::shellHandlerReceivesRequestInOrder() {
    QStringList seen;
    auto previous = shell::SetHandler(
        [&](const QString& op, const QString& file, const QString& params, const QString& dir,
            int show) { seen << op << file << params << dir << QString::number(show); });
    QVERIFY(!previous);
    shell::Execute("Open", "http:\\\\h\\p.htm", "0", "0", shell::ShowNormal);
    QCOMPARE(seen, QStringList({"Open", "http:\\\\h\\p.htm", "0", "0", "1"}));
    QVERIFY(shell::SetHandler(std::move(previous)));
}

void tst_desktop::shellOpensAddressWithSlashes() {
#ifdef Q_OS_WIN
    QSKIP("the Windows shell reads backslashes itself");
#endif
    QCOMPARE(shell::AddressOf("http:\\\\www.x.org\\a\\b.htm"), QUrl("http://www.x.org/a/b.htm"));

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "open");
    shell::Execute("Open", "http:\\\\www.x.org\\a\\b.htm", "0", "0", shell::ShowNormal);
    shell::Execute("open", "http://www.x.org/c.htm", "", "", shell::ShowNormal);
    // A verb with no counterpart here opens nothing.
    shell::Execute("Print", "http://www.x.org/d.htm", "0", "0", shell::ShowNormal);
    QDesktopServices::unsetUrlHandler("http");
    QCOMPARE(catcher.urls,
             QList<QUrl>({QUrl("http://www.x.org/a/b.htm"), QUrl("http://www.x.org/c.htm")}));
}

void tst_desktop::recordedPathFromMachineSettings() {
    QString path = "unchanged";
    QVERIFY(!sysinfo::RecordedPath(path));
    QCOMPARE(path, QString("unchanged"));

    {
        QSettings settings(QSettings::IniFormat, QSettings::SystemScope, "TallyhostUpdater");
        settings.setValue("SysInfo/Path", "/opt/info/run me");
    }
    QVERIFY(QFile::exists(m_dir.filePath("etc/TallyhostUpdater.ini")));
    // Taken as written: whether the file exists is for the start to find out.
    QVERIFY(sysinfo::RecordedPath(path));
    QCOMPARE(path, QString("/opt/info/run me"));
}

void tst_desktop::searchPathTakesFirstOrdinaryExecutable() {
#ifdef Q_OS_WIN
    QSKIP("Windows finds the program through the registry");
#endif
    const QString a = m_dir.filePath("a"), b = m_dir.filePath("b"), c = m_dir.filePath("c");
    // In the first folder only things that do not count: a folder and a plain file.
    QVERIFY(QDir().mkpath(a + "/hardinfo2"));
    QVERIFY(!makeFile(a + "/hardinfo", false).isEmpty());
    // The second has two candidates; the earlier name wins. The third comes too late.
    QVERIFY(!makeFile(b + "/gnome-system-monitor", true).isEmpty());
    QVERIFY(!makeFile(b + "/kinfocenter", true).isEmpty());
    QVERIFY(!makeFile(c + "/hardinfo2", true).isEmpty());

    QString path;
    // An empty entry (the current folder to a shell) and a relative one come first.
    qputenv("PATH", QFile::encodeName(":b:" + a + ":" + b + ":" + c));
    QVERIFY(sysinfo::SearchPath(path));
    QCOMPARE(path, b + "/kinfocenter");

    // Relative folders are not searched, whatever the current folder holds.
    QVERIFY(QDir::setCurrent(m_dir.path()));
    qputenv("PATH", QFile::encodeName("b:" + a));
    path.clear();
    QVERIFY(!sysinfo::SearchPath(path));
    QCOMPARE(path, QString());
    QVERIFY(QDir::setCurrent(QDir::rootPath()));

    QVERIFY(!sysinfo::IsOrdinaryFile(a + "/hardinfo2"));
    QVERIFY(sysinfo::IsOrdinaryFile(a + "/hardinfo"));
}

void tst_desktop::shellAndDesktopReadThePrograms_data() {
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QByteArray>("wholeOutput"); // when not null, all that may be printed
    QTest::addColumn<QStringList>("outputHas");

    const QString vantrell = qEnvironmentVariable("VANTRELL_BINARY");
    const QByteArray version("vantrell 0.6.0\n");
    const QStringList help = {"Usage: vantrell [/A]",
                              "  /A ",
                              "  -V, --version ",
                              "ftpes://host",
                              "sftp://host",
                              "the router (UPnP)",
                              "systemctl --user enable --now vantrell.timer",
                              "  0  the page was uploaded",
                              "  1  an unattended run did not upload the page",
                              "  2  no display",
                              "${XDG_CONFIG_HOME:-~/.config}/TallyhostUpdater.ini",
                              "$XDG_RUNTIME_DIR/vantrell"};
    QTest::newRow("--version") << QStringList{vantrell, "--version"} << version << QStringList();
    // Asking for information publishes nothing, wherever the switch stands.
    QTest::newRow("/A --version") << QStringList{vantrell, "/A", "--version"} << version
                                  << QStringList();
    QTest::newRow("--help") << QStringList{vantrell, "--help"} << QByteArray() << help;
    QTest::newRow("--help /a") << QStringList{vantrell, "--help", "/a"} << QByteArray() << help;
    QTest::newRow("-h") << QStringList{vantrell, "-h"} << QByteArray() << help;
    QTest::newRow("/A -V") << QStringList{vantrell, "/A", "-V"} << version << QStringList();

    // The validators say nothing but their verdict when all is well. A missing validator fails
    // the test: build.sh installs them.
    QTest::newRow("desktop entry")
        << QStringList{"desktop-file-validate", qEnvironmentVariable("VANTRELL_DESKTOP_ENTRY")}
        << QByteArray("") << QStringList();
    QTest::newRow("AppStream metainfo")
        << QStringList{"appstreamcli", "validate", "--no-net", "--pedantic",
                       qEnvironmentVariable("VANTRELL_METAINFO")}
        << QByteArray() << QStringList{"Validation was successful"};
    QTest::newRow("manual page") << QStringList{"groff", "-t",
                                                "-man",  "-ww",
                                                "-z",    qEnvironmentVariable("VANTRELL_MANPAGE")}
                                 << QByteArray("") << QStringList();
    // The units the package installs, naming the program as built.
    const QDir units(qEnvironmentVariable("VANTRELL_UNIT_FOLDER"));
    QTest::newRow("systemd units") << QStringList{"systemd-analyze",
                                                  "verify",
                                                  "--man=no",
                                                  units.filePath("vantrell.timer"),
                                                  units.filePath("vantrell.service"),
                                                  units.filePath("vantrell-watch.service")}
                                   << QByteArray("") << QStringList();
}

void tst_desktop::shellAndDesktopReadThePrograms() {
    QFETCH(QStringList, command);
    QFETCH(QByteArray, wholeOutput);
    QFETCH(QStringList, outputHas);

    // A shell with no display at all and an empty settings store.
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert("XDG_CONFIG_HOME", config.path());
    // Started from a folder that holds files named like the libraries it loads, which must
    // never be taken for them.
    QTemporaryDir planted;
    for (const char* library : {"libc.so.6", "libstdc++.so.6", "libQt6Core.so.6", "libQt6Gui.so.6",
                                "libQt6Widgets.so.6", "libcurl.so.4", "libminiupnpc.so.17"}) {
        QFile junk(planted.filePath(QString::fromLatin1(library)));
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("not a library") > 0);
    }
    // systemd is no build dependency: a machine without it has nothing that would run the units.
    if (command.first() == QLatin1String("systemd-analyze") &&
        QStandardPaths::findExecutable(command.first()).isEmpty())
        QSKIP("systemd-analyze is not installed (Debian's package systemd): the units are not "
              "verified");
    QProcess program;
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(planted.path());
    program.start(command.first(), command.mid(1));
    QVERIFY2(program.waitForStarted(), qPrintable(command.first() + ": " + program.errorString()));
    QVERIFY(program.waitForFinished(60000));
    const QByteArray out = program.readAllStandardOutput();
    const QByteArray err = program.readAllStandardError();
    QVERIFY2(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0, out + err);
    QCOMPARE(err, QByteArray());
    if (!wholeOutput.isNull())
        QCOMPARE(out, wholeOutput);
    for (const QString& part : outputHas)
        QVERIFY2(out.contains(part.toUtf8()), qPrintable(part));
    if (command.first() != qEnvironmentVariable("VANTRELL_BINARY"))
        return;
    // Fits a terminal of 80 columns.
    for (const QByteArray& line : out.split('\n'))
        QVERIFY2(QString::fromUtf8(line).size() < 80, line.constData());
    // Nothing ran that would have stored the fields.
    QCOMPARE(QDir(config.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

void tst_desktop::autostartEntryStartsTheProgram_data() {
    QTest::addColumn<QString>("folder"); // where the program is, below a temporary folder
    QTest::newRow("a plain path") << "bin";
    QTest::newRow("spaces") << "My Programs/Vantrell 0.6";
    QTest::newRow("what is escaped within quotes") << "a$b\"c`d\\e";
    QTest::newRow("what a shell would read") << "a&b;c'd(e)f*g?h#i<j>k|l~m";
}

// The entry among the programs the desktop starts at log-on reads as the desktop's own tools
// read it: valid, and starting the program with its arguments as they were given, wherever the
// program is.
void tst_desktop::autostartEntryStartsTheProgram() {
    QFETCH(QString, folder);
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    const QString program = dir.filePath(folder + QStringLiteral("/vantrell"));
    const QString record = dir.filePath(QStringLiteral("started"));
    QVERIFY(QDir().mkpath(QFileInfo(program).path()));
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '[%s]\\n' \"$0\" \"$@\" > \"" + QFile::encodeName(record) +
                 "\"\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::ExeOwner));

    platform::AutostartEntry entry(QStringLiteral("tray"));
    QVERIFY(!entry.Exists());
    QVERIFY2(entry.Set(QStringLiteral("Vantrell in the notification area"), program,
                       {QStringLiteral("--tray"), QStringLiteral("two words")}),
             qPrintable(entry.LastError()));
    QVERIFY(entry.Exists());
    QCOMPARE(QFileInfo(entry.Path()).fileName(), QString("org.example.Vantrell-tray.desktop"));
    QProcess tool;
    tool.start(QStringLiteral("desktop-file-validate"), {entry.Path()});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.readAll(), QByteArray());
    // GLib's launcher, as GNOME and most others start what is listed there.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral("gio"), {QStringLiteral("launch"), entry.Path()});
    QVERIFY2(tool.waitForFinished(30000) && tool.exitCode() == 0, tool.readAllStandardError());
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(record)),
                              QStringLiteral("[%1]\n[--tray]\n[two words]\n").arg(program), 10000);
    QVERIFY(entry.Remove());
    QVERIFY(!entry.Exists());
    QVERIFY(entry.Remove());
    qunsetenv("XDG_CONFIG_HOME");
}

void tst_desktop::scheduleUnitsGoWhereTheManagerLooks_data() {
    QTest::addColumn<QByteArray>("configHome"); // "-": unset
    QTest::addColumn<QByteArray>("home");
    QTest::addColumn<QString>("folder"); // "user database": the home it gives the user
    QTest::newRow("XDG_CONFIG_HOME")
        << QByteArray("/srv/config") << QByteArray("/home/alex") << "/srv/config/systemd/user";
    QTest::newRow("HOME alone") << QByteArray("-") << QByteArray("/home/alex")
                                << "/home/alex/.config/systemd/user";
    QTest::newRow("relative XDG_CONFIG_HOME")
        << QByteArray("config") << QByteArray("/home/alex") << "/home/alex/.config/systemd/user";
    // Before, the units went to /.config/systemd/user.
    QTest::newRow("neither") << QByteArray("-") << QByteArray("-") << "user database";
}

// Where a bare environment (cron, su) leaves the program, the user's systemd still looks.
void tst_desktop::scheduleUnitsGoWhereTheManagerLooks() {
#if defined(Q_OS_WIN)
    QSKIP("the Task Scheduler keeps no unit files");
#endif
    QFETCH(QByteArray, configHome);
    QFETCH(QByteArray, home);
    QFETCH(QString, folder);
    const QByteArray keptHome = qgetenv("HOME");
    const QByteArray keptConfig = qgetenv("XDG_CONFIG_HOME");
    const auto set = [](const char* name, const QByteArray& value) {
        if (value == "-")
            qunsetenv(name);
        else
            qputenv(name, value);
    };
    set("XDG_CONFIG_HOME", configHome);
    set("HOME", home);
    const QString found = Schedule::UnitFolder();
    qputenv("HOME", keptHome);
    qputenv("XDG_CONFIG_HOME", keptConfig);
    if (folder == "user database") {
        QVERIFY2(!found.startsWith("/.config"), qPrintable(found));
        QVERIFY2(found.endsWith("/.config/systemd/user") && QDir(found.chopped(21)).exists(),
                 qPrintable(found));
        return;
    }
    QCOMPARE(found, folder);
}

QTEST_MAIN(tst_desktop)
#include "tst_desktop.moc"
