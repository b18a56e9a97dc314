// The settings file's text: what a value written by hand or by the program means, what is
// written for a value, and how a file is edited. Older builds read the file with the toolkit's
// own INI reader, so what this one writes is checked with that reader too.
#include "IniCodec.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using platform::ini::Values;
namespace ini = platform::ini;

class IniCodecTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void sectionsAndKeys_data();
    void sectionsAndKeys();
    void handWrittenValues_data();
    void handWrittenValues();
    void writtenValues_data();
    void writtenValues();
    void editing_data();
    void editing();

private:
    QString newFile(const QByteArray& bytes);
    QString toolkitReads(const QByteArray& file, const QString& path);
    QByteArray toolkitWrites(const QString& path, const QString& value);

    QTemporaryDir m_dir;
    int m_files = 0;
};

namespace {

// "path=value" for each value, in the order of the paths.
QStringList listed(const Values& values) {
    QStringList list;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        list << it.key() + QLatin1Char('=') + it.value();
    return list;
}

} // namespace

void IniCodecTest::initTestCase() {
    QVERIFY(m_dir.isValid());
}

// A file of its own each time: the toolkit remembers files it has read.
QString IniCodecTest::newFile(const QByteArray& bytes) {
    const QString path = m_dir.filePath(QStringLiteral("%1.ini").arg(++m_files));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

QString IniCodecTest::toolkitReads(const QByteArray& file, const QString& path) {
    return QSettings(newFile(file), QSettings::IniFormat)
        .value(path, QStringLiteral("<none>"))
        .toString();
}

QByteArray IniCodecTest::toolkitWrites(const QString& path, const QString& value) {
    const QString name = newFile({});
    {
        QSettings settings(name, QSettings::IniFormat);
        settings.setValue(path, value);
    }
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void IniCodecTest::sectionsAndKeys_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("values");

    QTest::newRow("comments, blank lines and lines without \"=\" are passed over")
        << QByteArray("; a=1\n\n[FTP]\n  ; b=2\nnot a value\nFTPSite=x\n")
        << QStringList{"FTP/FTPSite=x"};
    QTest::newRow("outside every section, and under [General]")
        << QByteArray("a=1\n[General]\nb=2\n[FTP]\nc=3\n[general]\nd=4\n")
        << QStringList{"FTP/c=3", "a=1", "b=2", "d=4"};
    QTest::newRow("a section that is called General")
        << QByteArray("[%General]\nc=3\n") << QStringList{"General/c=3"};
    QTest::newRow("names escaped as the toolkit escapes them")
        << QByteArray("[My%20Section]\nsub\\key=1\n%U00E9t%E9=2\n%zz=3\n")
        << QStringList{"My Section/%zz=3", "My Section/sub/key=1", "My Section/\u00e9t\u00e9=2"};
    QTest::newRow("a key written twice counts where it stands last")
        << QByteArray("[FTP]\nFTPSite=old\nUserName=me\nFTPSite=used\n")
        << QStringList{"FTP/FTPSite=used", "FTP/UserName=me"};
    QTest::newRow("spaces around a key are dropped, around a value kept")
        << QByteArray("[ FTP ]\n\t FTPSite = x \n") << QStringList{"FTP/FTPSite= x "};
    QTest::newRow("byte order mark and lone CRs")
        << QByteArray("\xEF\xBB\xBF[FTP]\rA=1\rB=2") << QStringList{"FTP/A=1", "FTP/B=2"};
    QTest::newRow("a header without its bracket, a key without a name")
        << QByteArray("[FTP\n=x\nA=1\n") << QStringList{"FTP/A=1"};
    QTest::newRow("nothing") << QByteArray() << QStringList{};
}

void IniCodecTest::sectionsAndKeys() {
    QFETCH(QByteArray, text);
    QFETCH(QStringList, values);
    QCOMPARE(listed(ini::Read(text)), values);
}

void IniCodecTest::handWrittenValues_data() {
    QTest::addColumn<QByteArray>("written"); // after "Password="
    QTest::addColumn<QString>("loaded");

    // Taken exactly as written, to the end of the line.
    QTest::newRow("comma") << QByteArray("a,b") << "a,b";
    QTest::newRow("comma and space") << QByteArray("one, two") << "one, two";
    QTest::newRow("semicolon") << QByteArray("pa;ss") << "pa;ss";
    QTest::newRow("semicolon first") << QByteArray(";x") << ";x";
    QTest::newRow("backslashes") << QByteArray("C:\\web\\page.htm") << "C:\\web\\page.htm";
    QTest::newRow("backslash at the end") << QByteArray("abc\\") << "abc\\";
    QTest::newRow("escape the program never writes") << QByteArray("a\\101\\?") << "a\\101\\?";
    QTest::newRow("unbalanced quote") << QByteArray("\"abc") << "\"abc";
    QTest::newRow("quote inside") << QByteArray("ab\"cd") << "ab\"cd";
    QTest::newRow("quoted part") << QByteArray("\"ab\" cd") << "\"ab\" cd";
    QTest::newRow("spaces") << QByteArray(" two  spaces ") << " two  spaces ";
    QTest::newRow("tab") << QByteArray("a\tb") << "a\tb";
    QTest::newRow("equals") << QByteArray("a=b") << "a=b";
    QTest::newRow("at sign") << QByteArray("@home") << "@home";
    QTest::newRow("toolkit marker") << QByteArray("@Invalid()") << "@Invalid()";
    QTest::newRow("CR LF") << QByteArray("secret\r") << "secret";
    QTest::newRow("UTF-8") << QByteArray("Bücher") << "Bücher";
    QTest::newRow("empty") << QByteArray() << "";

    // Exactly what the program writes: decoded as it always was.
    QTest::newRow("quoted") << QByteArray("\"a,b; c\"") << "a,b; c";
    QTest::newRow("quoted without need")
        << QByteArray("\"/srv/my web/x.htm\"") << "/srv/my web/x.htm";
    QTest::newRow("escaped backslash") << QByteArray("p\\\\ss") << "p\\ss";
    QTest::newRow("escaped quotes") << QByteArray("\\\"q\\\"") << "\"q\"";
    QTest::newRow("doubled at") << QByteArray("@@x") << "@x";
    QTest::newRow("NUL") << QByteArray("@String(a\\0z)") << QString("a") + QChar(0) + "z";
    QTest::newRow("named escape") << QByteArray("C:\\temp") << "C:\temp";
    QTest::newRow("hex escapes") << QByteArray("\\x1\\x61")
                                 << "\x01"
                                    "a";
    QTest::newRow("older hex escapes") << QByteArray("B\\xfc\\x63her") << "Bücher";
}

// What a person wrote after "Key=" loads as written, unless it is exactly what the program
// writes for some text; saving leaves the line alone until its value changes.
void IniCodecTest::handWrittenValues() {
    QFETCH(QByteArray, written);
    QFETCH(QString, loaded);
    const QByteArray file = "[FTP]\nFTPSite=ftp.example.org\nPassword=" + written +
                            "\nUserName=after\n\n[HTML]\nUploadDir=www\n";
    Values values = ini::Read(file);
    // Nothing before or after the line is lost to it.
    QCOMPARE(listed(values), (QStringList{"FTP/FTPSite=ftp.example.org", "FTP/Password=" + loaded,
                                          "FTP/UserName=after", "HTML/UploadDir=www"}));
    QCOMPARE(ini::Edited(file, values), file);

    // Once changed, it is written so that older builds read it as this one does.
    values[QStringLiteral("FTP/Password")] = loaded + ",2";
    const QByteArray changed = ini::Edited(file, values);
    QCOMPARE(ini::Read(changed), values);
    QCOMPARE(toolkitReads(changed, "FTP/Password"), loaded + ",2");
    QCOMPARE(toolkitReads(changed, "HTML/UploadDir"), QString("www"));
}

void IniCodecTest::writtenValues_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("written"); // after "Password="

    QTest::newRow("plain") << "ftp.example.org" << QByteArray("ftp.example.org");
    QTest::newRow("spaces around")
        << "  ftp.example.org  " << QByteArray("\"  ftp.example.org  \"");
    QTest::newRow("quotes") << "\"quoted\" name" << QByteArray("\\\"quoted\\\" name");
    QTest::newRow("separators and backslash")
        << "p=ss;w#rd\\%x%,y" << QByteArray("\"p=ss;w#rd\\\\%x%,y\"");
    QTest::newRow("beyond ASCII") << "Bücher – ページ.htm" << QByteArray("Bücher – ページ.htm");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("at sign first") << "@at start" << QByteArray("@@at start");
    QTest::newRow("backslashes") << "C:\\web\\template.htm"
                                 << QByteArray("C:\\\\web\\\\template.htm");
    QTest::newRow("tab") << "tab\there" << QByteArray("tab\\there");
    QTest::newRow("line breaks") << "line\nfeed\rreturn" << QByteArray("line\\nfeed\\rreturn");
    QTest::newRow("NUL before a digit")
        << QString("nul") + QChar(0) + "7" << QByteArray("@String(nul\\0\\x37)");
    QTest::newRow("control characters before hex digits") << "\x01"
                                                             "abc\x1f"
                                                          << QByteArray("\\x1\\x61\\x62\\x63\\x1f");
    QTest::newRow("toolkit marker") << "@String(x)" << QByteArray("@@String(x)");
    QTest::newRow("invalid marker") << "@Invalid()" << QByteArray("@@Invalid()");
    QTest::newRow("mixed") << "C:\\temp\\new \"@@\"" << QByteArray("C:\\\\temp\\\\new \\\"@@\\\"");
    const QString longText = "/srv/" + QString(70000, 'd') + "/page.htm";
    QTest::newRow("long") << longText << longText.toUtf8();
}

// Every text is written as the toolkit writes it, and loads again as it was, here and in older
// builds; a file the toolkit wrote loads as it did.
void IniCodecTest::writtenValues() {
    QFETCH(QString, value);
    QFETCH(QByteArray, written);
    const Values values{{QStringLiteral("FTP/Password"), value}};
    QCOMPARE(ini::EncodeValue(value), written);
    const QByteArray file = ini::Edited({}, values);
    QCOMPARE(file, "[FTP]\nPassword=" + written + '\n');
    QCOMPARE(ini::Read(file), values);
    QCOMPARE(toolkitReads(file, "FTP/Password"), value);
    QCOMPARE(toolkitWrites("FTP/Password", value), file);
    QCOMPARE(ini::DecodeValue(written), value);
}

void IniCodecTest::editing_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QStringList>("changes"); // "path=value" sets it, "-path" takes it out
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
    QTest::newRow("nothing changed") << byHand << QStringList{} << byHand;
    QTest::newRow("one value changed")
        << byHand << QStringList{"FTP/FTPSite=ftp2.example.org"}
        << QByteArray(byHand).replace("FTPSite=ftp.example.org", "FTPSite=ftp2.example.org");
    QTest::newRow("changed to a value the program escapes")
        << byHand << QStringList{"HTML/UploadDir=C:\\www"}
        << QByteArray(byHand).replace("UploadDir=www", "UploadDir=C:\\\\www");
    QTest::newRow("indented, with what a reader would take for escapes")
        << byHand << QStringList{"FTP/Password=a,b"}
        << QByteArray(byHand).replace("  Password=my;pass,word\"1", "  Password=\"a,b\"");

    const QByteArray windows = "[FTP]\r\nFTPSite=a\r\nUserName=me\r\nPassword=pw\r\n"
                               "UploadFileName=x.htm\r\n\r\n[HTML]\r\nHTMLTemplate=t.htm\r\n"
                               "IPParseField=%Tallyhost%\r\nUploadDir=up";
    QTest::newRow("CR LF, and no line break at the end")
        << windows << QStringList{"HTML/UploadDir=down"}
        << QByteArray(windows).replace("UploadDir=up", "UploadDir=down");
    QTest::newRow("CR LF for a new key")
        << windows << QStringList{"HTML/IPv6Marker=%v6%"} << windows + "\r\nIPv6Marker=%v6%\r\n";

    QTest::newRow("missing keys go after the last key of their section")
        << QByteArray("[FTP]\nFTPSite=a\nPassword=pw\n; comment\n\n[HTML]\n"
                      "HTMLTemplate=t.htm\nIPParseField=%Tallyhost%\nUploadDir=\n")
        << QStringList{"FTP/UserName=me", "FTP/UploadFileName="}
        << QByteArray("[FTP]\nFTPSite=a\nPassword=pw\nUploadFileName=\nUserName=me\n"
                      "; comment\n\n[HTML]\nHTMLTemplate=t.htm\nIPParseField=%Tallyhost%\n"
                      "UploadDir=\n");
    QTest::newRow("a section with no key yet takes it after its header")
        << QByteArray("[FTP]\n; nothing yet\n[HTML]\nX=1\n") << QStringList{"FTP/A=1"}
        << QByteArray("[FTP]\nA=1\n; nothing yet\n[HTML]\nX=1\n");
    QTest::newRow("a missing section goes at the end")
        << QByteArray("; only FTP so far\n[FTP]\nFTPSite=a\nUserName=me\nPassword=pw\n"
                      "UploadFileName=x.htm")
        << QStringList{"HTML/HTMLTemplate=", "HTML/IPParseField=%Tallyhost%", "HTML/UploadDir=www"}
        << QByteArray("; only FTP so far\n[FTP]\nFTPSite=a\nUserName=me\nPassword=pw\n"
                      "UploadFileName=x.htm\n\n[HTML]\nHTMLTemplate=\n"
                      "IPParseField=%Tallyhost%\nUploadDir=www\n");
    QTest::newRow("a key written twice: the one that counts changes")
        << QByteArray("[FTP]\nFTPSite=old\nUserName=me\nPassword=pw\nUploadFileName=x\n"
                      "FTPSite=used\n[HTML]\nHTMLTemplate=t\nIPParseField=%Tallyhost%\n"
                      "UploadDir=\n")
        << QStringList{"FTP/FTPSite=new"}
        << QByteArray("[FTP]\nFTPSite=old\nUserName=me\nPassword=pw\nUploadFileName=x\n"
                      "FTPSite=new\n[HTML]\nHTMLTemplate=t\nIPParseField=%Tallyhost%\n"
                      "UploadDir=\n");
    QTest::newRow("a key taken out loses its line")
        << QByteArray("[FTP]\nA=1\n; about B\nB=2\n") << QStringList{"-FTP/B"}
        << QByteArray("[FTP]\nA=1\n; about B\n");
    QTest::newRow("a new file") << QByteArray() << QStringList{"b=2", "HTML/X=1", "FTP/A=1"}
                                << QByteArray("[FTP]\nA=1\n\n[HTML]\nX=1\n\n[General]\nb=2\n");
    QTest::newRow("after a byte order mark")
        << QByteArray("\xEF\xBB\xBF[FTP]\nB=2\n") << QStringList{"FTP/A=1"}
        << QByteArray("\xEF\xBB\xBF[FTP]\nB=2\nA=1\n");
    QTest::newRow("names the toolkit escapes")
        << QByteArray() << QStringList{"My Section/sub/k\u00e9y=1", "General/x=2"}
        << QByteArray("[%General]\nx=2\n\n[My%20Section]\nsub\\k%E9y=1\n");
}

// Only what changed is written anew: comments, blank lines, the order of the lines, the
// spelling of the keys and every value that stays are kept as written.
void IniCodecTest::editing() {
    QFETCH(QByteArray, before);
    QFETCH(QStringList, changes);
    QFETCH(QByteArray, after);
    Values values = ini::Read(before);
    Values set;
    for (const QString& change : changes) {
        if (change.startsWith(QLatin1Char('-'))) {
            values.remove(change.mid(1));
            continue;
        }
        const qsizetype equals = change.indexOf(QLatin1Char('='));
        set.insert(change.left(equals), change.mid(equals + 1));
    }
    values.insert(set);
    QCOMPARE(ini::Edited(before, values), after);
    QCOMPARE(ini::Read(after), values);
    for (auto it = set.cbegin(); it != set.cend(); ++it)
        QCOMPARE(toolkitReads(after, it.key()), it.value());
}

QTEST_GUILESS_MAIN(IniCodecTest)
#include "tst_inicodec.moc"
