#include "AddressSource.h"
#include "JobSandbox.h"
#include "LocalIP.h"
#include "PageTemplate.h"
#include "Recorders.h"
#include "SettingsStore.h"
#include "TestFiles.h"
#include "TextStream.h"
#include "frmTallyhost.h"
#include "modPage.h"
#include "modTallyhost.h"

#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a folder holds: each name, and the bytes of each ordinary file.
QStringList folderState(const QString& folder) {
    QStringList state;
    const auto entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        state << entry.fileName();
        if (entry.isFile() && !entry.isSymLink())
            state << QString::fromLatin1(readFile(entry.filePath()).toHex());
    }
    return state;
}

} // namespace

// The page the job writes, from the template to the temporary folder; the upload itself
// fails here on purpose (nothing listens on the site's port).
class PageTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void validationReportsFirstEmptyField_data();
    void validationReportsFirstEmptyField();
    void pageKeepsEveryByteAndEndsLinesWithCrLf();
    void templateThatCannotBeOpenedStopsTheJob_data();
    void templateThatCannotBeOpenedStopsTheJob();
    void pageThatCannotBeCreatedStopsTheJob_data();
    void pageThatCannotBeCreatedStopsTheJob();
    void pageThatCannotBeWrittenWholeIsNotUploaded();
    void oddLockFileNeverStopsThePage_data();
    void oddLockFileNeverStopsThePage();
    void pageFolderFollowsWindir();

private:
    void fillFields(const QString& templatePath);
    QString writeTemplate(const QByteArray& content);
    QByteArray page() const;
    QString pagePath() const { return m_box->pagePath(); }
    QString pageFolder() const { return m_box->windir.filePath(QStringLiteral("temp")); }

    std::unique_ptr<JobSandbox> m_box;
};

void PageTest::initTestCase() {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void PageTest::init() {
    m_box = std::make_unique<JobSandbox>();
    QVERIFY(m_box->isValid());
}

void PageTest::cleanup() {
    m_box.reset();
}

void PageTest::fillFields(const QString& templatePath) {
    frmTallyhost& form = MainForm();
    form.txtHTMLTemplate->setText(templatePath);
    form.txtIPParseField[0]->setText(QStringLiteral("%Tallyhost%"));
    form.txtFTPSite->setText(QStringLiteral("127.0.0.1:1"));
    form.txtUserName->setText(QStringLiteral("user"));
    form.txtPassword->setText(QStringLiteral("secret"));
    form.txtUploadFileName->setText(QStringLiteral("page.htm"));
    form.txtUploadDir->setText(QString());
}

QString PageTest::writeTemplate(const QByteArray& content) {
    const QString path = m_box->files.filePath(QStringLiteral("template.htm"));
    return writeFile(path, content) ? path : QString();
}

QByteArray PageTest::page() const {
    return readFile(pagePath());
}

void PageTest::validationReportsFirstEmptyField_data() {
    QTest::addColumn<QStringList>("empty");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focused");
    QTest::newRow("all") << QStringList{"template", "marker", "site", "user", "password", "name"}
                         << "Must supply HTML Template file name."
                         << "template";
    QTest::newRow("marker") << QStringList{"marker", "password"}
                            << "Must supply IP Parse Field to insert IP address."
                            << "marker";
    QTest::newRow("site") << QStringList{"site", "user"}
                          << "Must supply FTP Site to upload ip address."
                          << "site";
    QTest::newRow("user") << QStringList{"user"} << "Must supply FTP User Name."
                          << "user";
    QTest::newRow("password") << QStringList{"password", "name"} << "Must supply FTP password."
                              << "password";
    QTest::newRow("name") << QStringList{"name"} << "Must supply FTP upload file name."
                          << "name";
}

void PageTest::validationReportsFirstEmptyField() {
    QFETCH(QStringList, empty);
    QFETCH(QString, message);
    QFETCH(QString, focused);

    frmTallyhost& form = MainForm();
    const QMap<QString, QLineEdit*> fields = {
        {"template", form.txtHTMLTemplate}, {"marker", form.txtIPParseField[0]},
        {"site", form.txtFTPSite},          {"user", form.txtUserName},
        {"password", form.txtPassword},     {"name", form.txtUploadFileName}};
    fillFields(writeTemplate("x\n"));
    for (const QString& name : empty)
        fields[name]->clear();
    form.txtUploadDir->clear(); // optional, never reported
    QApplication::setActiveWindow(&form);
    form.txtUploadDir->setFocus();

    MessageRecorder messages;
    QVERIFY(!UploadPage());
    QCOMPARE(messages.texts(), QStringList{message});
    QCOMPARE(messages.messages[0].title, QStringLiteral("TallyhostUpdater"));
    QCOMPARE(messages.messages[0].icon, platform::MsgIcon::None);
    QTRY_VERIFY(fields[focused]->hasFocus());
    QVERIFY(!QFile::exists(pagePath()));
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor); // the hourglass is gone again
}

void PageTest::pageKeepsEveryByteAndEndsLinesWithCrLf() {
    static const char raw[] = "caf\xe9 \xff\xfe\x00\x01 na\xc3\xafve";
    const QByteArray binary(raw, sizeof(raw) - 1);
    // A line of a megabyte goes through in parts: markers straddle the seams (all three kinds,
    // overlapping ones too), and the line ends in half a marker.
    // The IP marker begins the IPv6 marker, which is the longer: so the shorter is known for
    // what it is only once the bytes after it have come, or the line has ended.
    const QByteArray longLine = QByteArray("%Tallyhost%").repeated(30000) +
                                QByteArray("%%Tallyhost%%").repeated(20000) +
                                QByteArray("%Tallyhost%6%Tallyhost%").repeated(20000) +
                                QByteArray("%date%%Date%").repeated(20000) +
                                QByteArray("%Time%%time%").repeated(15000) + "%Tallyho%Tallyhost%";
    // The template is read a buffer at a time: a CR ends the first buffer and its LF starts the
    // second, and a marker in a short line straddles the end of the second.
    constexpr qsizetype Buf = qsizetype(platform::TextStream::BufferSize);
    const QByteArray dots(Buf, '.');
    const QByteArray seams = "<a>%Tallyhost%</a>" + dots.left(Buf - 19) + "\r\n" +
                             dots.left(Buf / 2) + "\n" + dots.left(Buf / 2 - 12) +
                             "<b>%Tallyhost%</b>\n";
    // CR LF, a lone CR, LF, an empty line, and a last line without an end.
    const QByteArray content = seams + "<p>%Tallyhost%</p>\r\n" + binary + "\r" +
                               "  %Tallyhost%  \n" + longLine + "\n" + "\n" +
                               "last %Date% without end";
    fillFields(writeTemplate(content));
    MainForm().txtIPParseField[0]->setText(QStringLiteral("  %Tallyhost%  "));
    platform::SettingsStore store(QStringLiteral("TallyhostUpdater"));
    store.SaveSetting(QStringLiteral("HTML"), QStringLiteral("IPv6Marker"),
                      QStringLiteral(" %Tallyhost%6 "));
    QVERIFY(store.Sync());

    MessageRecorder messages;
    QVERIFY(!UploadPage()); // nothing listens at the site
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY(messages.texts().at(0).startsWith(QStringLiteral("Unable to upload file: ")));

    const QByteArray ip = platform::LocalIP().toLatin1();
    platform::AddressQuery stable;
    stable.source = platform::AddressSource::Local6;
    const QByteArray ipv6 = platform::AskAddressSource(stable).address.toLatin1();
    const QByteArray date = PageDate().toLocal8Bit();
    const QByteArray head = "<a>" + ip + "</a>" + dots.left(Buf - 19) + "\r\n" +
                            dots.left(Buf / 2) + "\r\n" + dots.left(Buf / 2 - 12) + "<b>" + ip +
                            "</b>\r\n" + "<p>" + ip + "</p>\r\n" + binary + "\r\n" + "  " + ip +
                            "  \r\n" + ip.repeated(30000) + ("%" + ip + "%").repeated(20000) +
                            (ipv6 + ip).repeated(20000) + date.repeated(40000);
    const QByteArray tail = "%Tallyho" + ip + "\r\n\r\nlast " + date + " without end\r\n";
    const QByteArray written = page();
    QVERIFY(written.startsWith(head));
    QVERIFY(written.endsWith(tail));
    // The time is the same all along the line.
    const QByteArray times = written.mid(head.size(), written.size() - head.size() - tail.size());
    const QByteArray time = times.left(times.size() / 30000);
    QCOMPARE(times, time.repeated(30000));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{1,2}:\\d{2}:\\d{2}\\s(AM|PM)$"))
                 .match(QString::fromLatin1(time))
                 .hasMatch(),
             time.constData());

    // A marker that does not start with "%" is found all the same.
    MainForm().txtIPParseField[0]->setText(QStringLiteral("{ip}"));
    QVERIFY(!writeTemplate("a{ip}b\n%date%\n").isEmpty());
    UploadPage();
    QCOMPARE(page(), "a" + ip + "b\r\n" + date + "\r\n");

    // A part of a long line that ends in the IP marker waits for the next one, which may show
    // that it was the longer IPv6 marker; then a part that ends just short of the IPv6 marker.
    MainForm().txtIPParseField[0]->setText(QStringLiteral("%Tallyhost%"));
    QVERIFY(
        !writeTemplate(dots.left(Buf - 12) + "%Tallyhost%6" + dots.left(Buf - 12) + "%Tallyhost%\n")
             .isEmpty());
    UploadPage();
    QCOMPARE(page(), dots.left(Buf - 12) + ipv6 + dots.left(Buf - 12) + ip + "\r\n");

    // An empty template makes an empty page.
    QVERIFY(!writeTemplate(QByteArray()).isEmpty());
    UploadPage();
    QCOMPARE(page(), QByteArray());
}

void PageTest::templateThatCannotBeOpenedStopsTheJob_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing file") << "missing.htm"
                                  << "No such file or directory";
    QTest::newRow("missing folder") << "nowhere/template.htm"
                                    << "No such file or directory";
    QTest::newRow("a folder") << "folder"
                              << "Is a directory";
    // Neither may hang the job or fill the disk.
    QTest::newRow("a pipe nobody writes") << "pipe"
                                          << "Is a named pipe, not an ordinary file";
    QTest::newRow("a device that never ends") << "device"
                                              << "Is a device, not an ordinary file";
}

void PageTest::templateThatCannotBeOpenedStopsTheJob() {
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QVERIFY(QDir(m_box->files.path()).mkdir(QStringLiteral("folder")));
    QCOMPARE(::mkfifo(QFile::encodeName(m_box->files.filePath("pipe")).constData(), 0600), 0);
    QVERIFY(QFile::link(QStringLiteral("/dev/urandom"), m_box->files.filePath("device")));
    const QString path = m_box->files.filePath(name);
    fillFields(path);
    // Publishing only on a change, the job reads the template a second time, to compare it.
    platform::SettingsStore store(QStringLiteral("TallyhostUpdater"));
    store.SaveSetting(QStringLiteral("Address"), QStringLiteral("OnlyWhenChanged"),
                      QStringLiteral("True"));
    QVERIFY(store.Sync());

    MessageRecorder messages;
    QVERIFY(!UploadPage());
    QCOMPARE(messages.messages.size(), 2);
    QCOMPARE(messages.messages[0].title, QStringLiteral("Open File"));
    QVERIFY(messages.texts()[0].startsWith(QStringLiteral("File: ") + path + QStringLiteral(" - ") +
                                           reason));
    QCOMPARE(messages.messages[1].text, QStringLiteral("Unable to open file: ") + path);
    QCOMPARE(messages.messages[1].icon, platform::MsgIcon::Critical);
    QCOMPARE(messages.messages[1].title, QStringLiteral("Tallyhost"));
    // Nothing was made up in its place: no template, no page.
    QCOMPARE(QFileInfo(path).isFile(), false);
    QVERIFY(!QFile::exists(pagePath()));
}

void PageTest::pageThatCannotBeCreatedStopsTheJob_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("inItsPlace"); // what stands where the page goes
    QTest::addColumn<QString>("message");    // how the one message starts; PAGE is the page
    QTest::addColumn<QString>("title");
    // The upload file name is a file name: refused before anything is made anywhere.
    const QString plain =
        "\": it must be a plain file name, without \"/\", \"\\\" or control "
        "characters, and neither \".\" nor \"..\". Enter a name such as index.htm.";
    const QString badName = "Unable to use the upload file name \"";
    for (const QString name :
         {"../important.conf", "sub/page.htm", "..\\important.conf", ".", ".."})
        QTest::newRow(qPrintable(name)) << name << "" << badName + name + plain << "Tallyhost";
    QTest::newRow("NUL") << QString::fromLatin1("page\0.htm", 9) << ""
                         << badName + "page\\x00.htm" + plain << "Tallyhost";
    QTest::newRow("line break") << "page.htm\n"
                                << "" << badName + "page.htm\\x0a" + plain << "Tallyhost";
    QTest::newRow("a folder") << "page.htm"
                              << "folder"
                              << "File: PAGE - Is a directory"
                              << "Open File";
    // Never written through, and never waited for.
    QTest::newRow("a planted link") << "page.htm"
                                    << "link"
                                    << "File: PAGE - Is a symbolic link"
                                    << "Open File";
    QTest::newRow("a pipe") << "page.htm"
                            << "pipe"
                            << "File: PAGE - Is a named pipe"
                            << "Open File";
    // The template would be emptied before it is read.
    const QString itself = "Unable to write the page PAGE: it is the template ";
    QTest::newRow("template is the page") << "page.htm"
                                          << "template" << itself << "Tallyhost";
    QTest::newRow("template links to the page") << "page.htm"
                                                << "template link" << itself << "Tallyhost";
    QTest::newRow("template is a hard link") << "page.htm"
                                             << "template hard link" << itself << "Tallyhost";
}

void PageTest::pageThatCannotBeCreatedStopsTheJob() {
    QFETCH(QString, name);
    QFETCH(QString, inItsPlace);
    QFETCH(QString, message);
    QFETCH(QString, title);
    const QString important = m_box->windir.filePath(QStringLiteral("important.conf"));
    QVERIFY(writeFile(important, "keep\n"));
    QString templatePath = writeTemplate("<p>%Tallyhost%</p>\n");
    const QByteArray path = QFile::encodeName(pagePath());
    if (inItsPlace == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(pagePath()));
    if (inItsPlace == QLatin1String("link"))
        QVERIFY(QFile::link(important, pagePath()));
    if (inItsPlace == QLatin1String("pipe"))
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
    if (inItsPlace.startsWith(QLatin1String("template"))) {
        QVERIFY(QFile::rename(templatePath, pagePath()));
        templatePath = pagePath();
    }
    if (inItsPlace == QLatin1String("template link")) {
        templatePath = m_box->files.filePath(QStringLiteral("link.htm"));
        QVERIFY(QFile::link(pagePath(), templatePath));
    }
    if (inItsPlace == QLatin1String("template hard link")) {
        templatePath = m_box->files.filePath(QStringLiteral("hard.htm"));
        QCOMPARE(::link(path.constData(), QFile::encodeName(templatePath).constData()), 0);
    }
    fillFields(templatePath);
    MainForm().txtUploadFileName->setText(name);
    const QStringList before = folderState(pageFolder());

    MessageRecorder messages;
    QVERIFY(!UploadPage());
    QCOMPARE(messages.messages.size(), 1);
    QCOMPARE(messages.messages[0].title, title);
    QCOMPARE(messages.messages[0].icon, platform::MsgIcon::Critical);
    const QString text = messages.texts().at(0);
    message.replace(QStringLiteral("PAGE"), pagePath());
    QVERIFY2(text.startsWith(message), qPrintable(text));
    // Nothing outside the page folder was touched, and nothing in it: no page, no lock.
    QCOMPARE(readFile(important), QByteArray("keep\n"));
    QCOMPARE(folderState(pageFolder()), before);
}

void PageTest::pageThatCannotBeWrittenWholeIsNotUploaded() {
    fillFields(writeTemplate(QByteArray(200000, 'x') + "\n%Tallyhost%\n"));
    // Files may grow to 64 KiB only while the job runs: the disk fills up under the page.
    rlimit limit{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit previous = limit;
    limit.rlim_cur = 64 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    MessageRecorder messages;
    const bool uploaded = UploadPage();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!uploaded);
    QCOMPARE(messages.messages.size(), 1);
    const QString text = messages.texts().at(0);
    QVERIFY2(text.startsWith(QStringLiteral("Unable to write file: ") + pagePath() + " - "),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("File too large")), qPrintable(text));
}

void PageTest::oddLockFileNeverStopsThePage_data() {
    QTest::addColumn<QString>("lock");
    QTest::newRow("junk") << "junk";
    QTest::newRow("a folder") << "folder";
    QTest::newRow("a pipe") << "pipe";
    QTest::newRow("a link to an endless device") << "link";
}

// Whatever a crash, another program or another user left under the lock's name, the page is
// written; what the lock file holds is never read.
void PageTest::oddLockFileNeverStopsThePage() {
    QFETCH(QString, lock);
    const QString lockPath = pagePath() + QStringLiteral(".lock");
    if (lock == QLatin1String("junk"))
        QVERIFY(writeFile(lockPath, QByteArray(1 << 20, '7')));
    if (lock == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(lockPath));
    if (lock == QLatin1String("pipe"))
        QCOMPARE(::mkfifo(QFile::encodeName(lockPath).constData(), 0600), 0);
    if (lock == QLatin1String("link"))
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), lockPath));
    fillFields(writeTemplate("<p>%Tallyhost%</p>\n"));
    SetPageLockPatience(std::chrono::milliseconds(300));

    MessageRecorder messages;
    QVERIFY(!UploadPage()); // nothing listens at the site
    SetPageLockPatience(std::chrono::seconds(150));
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY2(messages.texts().at(0).startsWith(QStringLiteral("Unable to upload file: ")),
             qPrintable(messages.texts().at(0)));
    QCOMPARE(page(), "<p>" + platform::LocalIP().toLatin1() + "</p>\r\n");
}

void PageTest::pageFolderFollowsWindir() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray tmp = qgetenv("TMPDIR");
    QCOMPARE(PageFolder(), m_box->windir.path() + QStringLiteral("/temp"));
    // Without windir, a folder of the user's own, never the shared temporary folder itself.
    qunsetenv("windir");
    qputenv("XDG_RUNTIME_DIR", "/run/user/4321");
    QCOMPARE(PageFolder(), QStringLiteral("/run/user/4321/vantrell"));
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", m_box->files.path().toLocal8Bit());
    QCOMPARE(PageFolder(),
             m_box->files.path() + QStringLiteral("/vantrell-") + QString::number(::geteuid()));
    qputenv("XDG_RUNTIME_DIR", runtime);
    qputenv("TMPDIR", tmp);
    if (runtime.isNull())
        qunsetenv("XDG_RUNTIME_DIR");
    if (tmp.isNull())
        qunsetenv("TMPDIR");
}

QTEST_MAIN(PageTest)
#include "tst_page.moc"
