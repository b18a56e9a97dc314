#include "PageTemplate.h"

#include <QLocale>
#include <QRegularExpression>
#include <QtTest>

namespace {

// The page as it would reach the file, with "|" where each line ended.
struct Page : PageSink {
    QByteArray text;
    void WritePart(QByteArrayView part) override { text += part; }
    void WriteLine(QByteArrayView line) override {
        text += line;
        text += "|";
    }
};

// How often each value was asked for.
struct Asked {
    int ip = 0;
    int ipv6 = 0;
    int date = 0;
    int time = 0;
};

PageValues values(Asked& asked, const QByteArray& ip = "IP") {
    return {[&asked, ip] { return ++asked.ip, ip; }, [&asked] { return ++asked.ipv6, "IP6"; },
            [&asked] { return ++asked.date, "D"; },
            [&asked] {
                return ++asked.time, "T";
            }};
}

} // namespace

// How the template's markers become the page: the same whether a line comes whole or, too long
// to hold, in parts cut anywhere.
class tst_pagetemplate : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void markersAreReplacedLiterally_data();
    void markersAreReplacedLiterally();
    void valuesAreAskedForOnceALineAndOnlyWhenNeeded();
    void dateAndTimeFollowTheLocale();
};

void tst_pagetemplate::markersAreReplacedLiterally_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("start and end") << QByteArray("%Tallyhost%<b>%Tallyhost%")
                                   << QByteArray("%Tallyhost%") << QByteArray("IP<b>IP");
    QTest::newRow("overlapping") << QByteArray("%%Tallyhost%%") << QByteArray("%Tallyhost%")
                                 << QByteArray("%IP%");
    QTest::newRow("all three") << QByteArray("a %Tallyhost% %date% %time% z")
                               << QByteArray("%Tallyhost%") << QByteArray("a IP D T z");
    QTest::newRow("as the window shows them") << QByteArray("%Date%%Time% %date%%Time%")
                                              << QByteArray("%Tallyhost%") << QByteArray("DT DT");
    QTest::newRow("case matters") << QByteArray("%DATE% %TIME% %dAte% %tIME% %tallyhost%")
                                  << QByteArray("%Tallyhost%")
                                  << QByteArray("%DATE% %TIME% %dAte% %tIME% %tallyhost%");
    QTest::newRow("no pattern") << QByteArray("a.b* ab $1 axb*") << QByteArray("a.b*")
                                << QByteArray("IP ab $1 axb*");
    QTest::newRow("empty marker") << QByteArray("abc") << QByteArray() << QByteArray("abc");
    QTest::newRow("empty line") << QByteArray() << QByteArray("%Tallyhost%") << QByteArray();
    QTest::newRow("not rescanned")
        << QByteArray("%d%%date%") << QByteArray("%d%") << QByteArray("IPD");
    QTest::newRow("marker not starting with %")
        << QByteArray("a{ip}b{ip") << QByteArray("{ip}") << QByteArray("aIPb{ip");
    QTest::newRow("half a marker at the end")
        << QByteArray("x%Tallyho") << QByteArray("%Tallyhost%") << QByteArray("x%Tallyho");
    // Beside the IPv6 marker "%Tallyhost6%", whatever the IP marker is, neither is read as a
    // part of the other: the one that starts first counts, the longer where both start.
    QTest::newRow("both markers") << QByteArray("%Tallyhost6%%Tallyhost%")
                                  << QByteArray("%Tallyhost%") << QByteArray("IP6IP");
    QTest::newRow("IP marker begins the IPv6 one")
        << QByteArray("%Tallyhost6% %Tallyhost") << QByteArray("%Tallyhost")
        << QByteArray("IP6 IP");
    QTest::newRow("IP marker ends the IPv6 one")
        << QByteArray("%Tallyhost6%6%") << QByteArray("6%") << QByteArray("IP6IP");
    QTest::newRow("IP marker inside the IPv6 one")
        << QByteArray("%Tallyhost6%host") << QByteArray("host") << QByteArray("IP6IP");
    QTest::newRow("IPv6 marker inside the IP one")
        << QByteArray("<%Tallyhost6%>%Tallyhost6%") << QByteArray("<%Tallyhost6%>")
        << QByteArray("IPIP6");
    QTest::newRow("the same marker twice")
        << QByteArray("%Tallyhost6%") << QByteArray("%Tallyhost6%") << QByteArray("IP");
    QTest::newRow("IPv6 address not rescanned")
        << QByteArray("%Tallyhost6%P6") << QByteArray("P6") << QByteArray("IP6IP");
}

void tst_pagetemplate::markersAreReplacedLiterally() {
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, marker);
    QFETCH(QByteArray, expected);
    QCOMPARE(FillLine(line, marker, "IP", "D", "T", "%Tallyhost6%", "IP6"), expected);

    // A line too long to hold comes in parts: cut anywhere, in two or byte by byte, it makes
    // the same page.
    const auto inParts = [&](const QList<QByteArrayView>& parts) {
        Asked asked;
        Page page;
        PageFill fill(marker, "%Tallyhost6%", values(asked), page);
        for (QByteArrayView part : parts)
            fill.Part(part);
        fill.EndLine();
        return page.text;
    };
    for (qsizetype cut = 0; cut <= line.size(); ++cut)
        QCOMPARE(inParts({QByteArrayView(line).first(cut), QByteArrayView(line).sliced(cut)}),
                 expected + "|");
    QList<QByteArrayView> bytes;
    for (qsizetype i = 0; i < line.size(); ++i)
        bytes << QByteArrayView(line).sliced(i, 1);
    QCOMPARE(inParts(bytes), expected + "|");

    // What goes in is never searched again, even when it looks like a marker.
    QCOMPARE(FillLine("<%x%>", "%x%", "%x%%x%", "D", "T"), QByteArray("<%x%%x%>"));
    // But each marker is looked for in what the one before left: an address that comes out
    // empty joins its neighbours into the next marker.
    QCOMPARE(FillLine("%da%x%te%", "%x%", "", "D", "T"), QByteArray("D"));
}

// The IPv6 address may take seconds to find, and the clock is read for every line that shows
// it: nothing is asked for that the line does not show, and nothing twice in one line.
void tst_pagetemplate::valuesAreAskedForOnceALineAndOnlyWhenNeeded() {
    Asked asked;
    Page page;
    PageFill fill("%Tallyhost%", "%Tallyhost6%", values(asked), page);
    fill.Line("<p>no marker here</p>");
    fill.Line("%Tallyhost% %Tallyhost% %Tallyhost6%");
    fill.Line("%Tallyhost6%%Tallyhost6% %date%%Date%");
    fill.Part("%Tallyhost6% %da");
    fill.Part("te% %Tallyhost6");
    fill.Part("%");
    fill.EndLine();
    QCOMPARE(page.text, QByteArray("<p>no marker here</p>|IP IP IP6|IP6IP6 DD|IP6 D IP6|"));
    QCOMPARE(asked.ip, 1);
    QCOMPARE(asked.ipv6, 3);
    // "%date%" and "%Date%" are steps of their own, each asking once.
    QCOMPARE(asked.date, 3);
    QCOMPARE(asked.time, 0);
}

void tst_pagetemplate::dateAndTimeFollowTheLocale() {
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

QTEST_GUILESS_MAIN(tst_pagetemplate)
#include "tst_pagetemplate.moc"
