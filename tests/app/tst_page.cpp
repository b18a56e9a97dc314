#include "JobSandbox.h"
#include "LocalIP.h"
#include "Recorders.h"
#include "TestFiles.h"
#include "frmTallyhost.h"
#include "modTallyhost.h"

#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/resource.h>

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
    void markersAreReplacedLiterally_data();
    void markersAreReplacedLiterally();
    void pageKeepsEveryByteAndEndsLinesWithCrLf();
    void dateAndTimeFollowTheLocale();
    void templateThatCannotBeOpenedStopsTheJob_data();
    void templateThatCannotBeOpenedStopsTheJob();
    void pageThatCannotBeCreatedStopsTheJob();
    void pageThatCannotBeWrittenWholeIsNotUploaded();
    void pageFolderFollowsWindir();

private:
    void fillFields(const QString& templatePath);
    QString writeTemplate(const QByteArray& content);
    QByteArray page() const;
    QString pagePath() const { return m_box->pagePath(); }

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

void PageTest::markersAreReplacedLiterally_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("start and end") << QByteArray("%Tallyhost%<b>%Tallyhost%")
                                   << QByteArray("%Tallyhost%") << QByteArray("IP<b>IP");
    QTest::newRow("overlapping") << QByteArray("%%Tallyhost%%") << QByteArray("%Tallyhost%")
                                 << QByteArray("%IP%");
    QTest::newRow("all three") << QByteArray("a %Tallyhost% %date% %time% z")
                               << QByteArray("%Tallyhost%") << QByteArray("a IP D T z");
    QTest::newRow("case matters") << QByteArray("%Date% %TIME% %tallyhost%")
                                  << QByteArray("%Tallyhost%")
                                  << QByteArray("%Date% %TIME% %tallyhost%");
    QTest::newRow("no pattern") << QByteArray("a.b* ab $1 axb*") << QByteArray("a.b*")
                                << QByteArray("IP ab $1 axb*");
    QTest::newRow("empty marker") << QByteArray("abc") << QByteArray() << QByteArray("abc");
    QTest::newRow("empty line") << QByteArray() << QByteArray("%Tallyhost%") << QByteArray();
    QTest::newRow("not rescanned")
        << QByteArray("%d%%date%") << QByteArray("%d%") << QByteArray("IPD");
}

void PageTest::markersAreReplacedLiterally() {
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, marker);
    QFETCH(QByteArray, expected);
    QCOMPARE(FillLine(line, marker, "IP", "D", "T"), expected);
    // What goes in is never searched again, even when it looks like a marker.
    QCOMPARE(FillLine("<%x%>", "%x%", "%x%%x%", "D", "T"), QByteArray("<%x%%x%>"));
}

void PageTest::pageKeepsEveryByteAndEndsLinesWithCrLf() {
    static const char raw[] = "caf\xe9 \xff\xfe\x00\x01 na\xc3\xafve";
    const QByteArray binary(raw, sizeof(raw) - 1);
    // CR LF, a lone CR, LF, an empty line, and a last line without an end.
    const QByteArray content = "<p>%Tallyhost%</p>\r\n" + binary + "\r" + "  %Tallyhost%  \n" +
                               "\n" + "last %date% without end";
    fillFields(writeTemplate(content));
    MainForm().txtIPParseField[0]->setText(QStringLiteral("  %Tallyhost%  "));

    MessageRecorder messages;
    QVERIFY(!UploadPage()); // nothing listens at the site
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY(messages.texts().at(0).startsWith(QStringLiteral("Unable to upload file: ")));

    const QByteArray ip = platform::LocalIP().toLatin1();
    const QByteArray expected = "<p>" + ip + "</p>\r\n" + binary + "\r\n" + "  " + ip + "  \r\n" +
                                "\r\n" + "last " + PageDate().toLocal8Bit() + " without end\r\n";
    QCOMPARE(page(), expected);

    // An empty template makes an empty page.
    QVERIFY(!writeTemplate(QByteArray()).isEmpty());
    UploadPage();
    QCOMPARE(page(), QByteArray());
}

void PageTest::dateAndTimeFollowTheLocale() {
    const QDate today = QDate::currentDate();
    QCOMPARE(PageDate(), QLocale().toString(today, QStringLiteral("MMM dd yyyy")));
    QVERIFY(QRegularExpression(QStringLiteral("^[A-Z][a-z]{2} \\d{2} \\d{4}$"))
                .match(PageDate())
                .hasMatch());
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{1,2}:\\d{2}:\\d{2}\\s(AM|PM)$"))
                 .match(PageTime())
                 .hasMatch(),
             qPrintable(PageTime()));

    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString germanTime = PageTime();
    const QString germanDate = PageDate();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QVERIFY2(
        QRegularExpression(QStringLiteral("^\\d{2}:\\d{2}:\\d{2}$")).match(germanTime).hasMatch(),
        qPrintable(germanTime));
    QCOMPARE(germanDate, QLocale(QLocale::German).toString(today, QStringLiteral("MMM dd yyyy")));
}

void PageTest::templateThatCannotBeOpenedStopsTheJob_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("missing file") << "missing.htm";
    QTest::newRow("missing folder") << "nowhere/template.htm";
    QTest::newRow("a folder") << "folder";
}

void PageTest::templateThatCannotBeOpenedStopsTheJob() {
    QFETCH(QString, name);
    QVERIFY(QDir(m_box->files.path()).mkdir(QStringLiteral("folder")));
    const QString path = m_box->files.filePath(name);
    fillFields(path);

    MessageRecorder messages;
    QVERIFY(!UploadPage());
    QCOMPARE(messages.messages.size(), 2);
    QCOMPARE(messages.messages[0].title, QStringLiteral("Open File"));
    QVERIFY(
        messages.texts()[0].startsWith(QStringLiteral("File: ") + path + QStringLiteral(" - ")));
    QCOMPARE(messages.messages[1].text, QStringLiteral("Unable to open file: ") + path);
    QCOMPARE(messages.messages[1].icon, platform::MsgIcon::Critical);
    QCOMPARE(messages.messages[1].title, QStringLiteral("Tallyhost"));
    // Nothing was made up in its place: no template, no page.
    QCOMPARE(QFileInfo(path).isFile(), false);
    QVERIFY(!QFile::exists(pagePath()));
}

void PageTest::pageThatCannotBeCreatedStopsTheJob() {
    fillFields(writeTemplate("x\n"));
    MainForm().txtUploadFileName->setText(QStringLiteral("no/such/folder.htm"));
    MessageRecorder messages;
    QVERIFY(!UploadPage());
    QCOMPARE(messages.messages.size(), 1);
    QCOMPARE(messages.messages[0].title, QStringLiteral("Open File"));
    QVERIFY(messages.texts()[0].contains(QStringLiteral("no/such/folder.htm - ")));
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

void PageTest::pageFolderFollowsWindir() {
    QCOMPARE(PageFolder(), m_box->windir.path() + QStringLiteral("/temp"));
    qunsetenv("windir");
    QCOMPARE(PageFolder(), QDir::tempPath());
}

QTEST_MAIN(PageTest)
#include "tst_page.moc"
