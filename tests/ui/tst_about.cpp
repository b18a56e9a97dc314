// The About box: its layout and texts, its keys, and starting the system information program;
// and the web page launcher's shell call.
#include "frmAbout.h"
#include "modShell.h"

#include "Palettes.h"
#include "ProgramConfig.h"
#include "Recorders.h"
#include "Shell.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>
#include <QTimer>

namespace {

const QString Unavailable = "System Information Is Unavailable At This Time";

// Whether the text, wrapped at word boundaries as a label wraps it, shows whole in the box.
bool showsWhole(const QString& text, const QFont& font, const QSize& box) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal height = 0;
    qreal widest = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(box.width());
        widest = qMax(widest, line.naturalTextWidth());
        height += line.height();
    }
    layout.endLayout();
    return widest <= box.width() && height <= box.height();
}

// The lines of a label's text as the label breaks them.
QStringList shownLines(const QLabel* label) {
    const QString text = label->text();
    QTextLayout layout(text, label->font());
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList lines;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(label->contentsRect().width());
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

} // namespace

class tst_about : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void captionsAndLayout();
    void textsShowWhole();
    void labelsReadOnAnyPalette_data();
    void labelsReadOnAnyPalette();
    void eachShowingLoadsAfresh();
    void addressCanBeCopied_data();
    void addressCanBeCopied();
    void okEnterAndEscClose();
    void altSStartsSysInfo();
    void sysInfoFoundOnPath();
    void sysInfoRecordedPathComesFirst();
    void shellDocumentHandsOverTexts();

private:
    QString makeScript(const QString& path, bool executable = true);
    QStringList ranScripts() const;
    void recordSysInfoPath(const QString& path);

    QTemporaryDir m_dir;
    QByteArray m_path;
};

void tst_about::initTestCase() {
    QVERIFY(m_dir.isValid());
    m_path = qgetenv("PATH");
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_dir.filePath("etc"));
}

void tst_about::init() {
    // Nothing on PATH but what a test puts there, so no real program is ever started.
    QVERIFY(QDir().mkpath(m_dir.filePath("empty")));
    qputenv("PATH", QFile::encodeName(m_dir.filePath("empty")));
}

void tst_about::cleanup() {
    qputenv("PATH", m_path);
    QSettings(QSettings::IniFormat, QSettings::SystemScope, "TallyhostUpdater").clear();
    QFile::remove(m_dir.filePath("ran.log"));
}

QString tst_about::makeScript(const QString& path, bool executable) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("#!/bin/sh\necho \"$0\" >> '" + QFile::encodeName(m_dir.filePath("ran.log")) +
               "'\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner |
                        (executable ? QFile::ExeOwner : QFile::Permissions()));
    return path;
}

QStringList tst_about::ranScripts() const {
    QFile log(m_dir.filePath("ran.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(log.readAll()).split('\n', Qt::SkipEmptyParts);
}

void tst_about::recordSysInfoPath(const QString& path) {
    QSettings settings(QSettings::IniFormat, QSettings::SystemScope, "TallyhostUpdater");
    settings.setValue("SysInfo/Path", path);
}

void tst_about::captionsAndLayout() {
    frmAbout box;
    QCOMPARE(box.windowTitle(), QString("About Tallyhost"));
    QCOMPARE(box.lblTitle->text(), QString("Tallyhost"));
    QCOMPARE(box.lblVersion->text(), QString("Version 0.6.0"));
    const QFont title = box.lblTitle->font();
    QCOMPARE(title.pointSize(), 12);
    QCOMPARE(title.weight(), QFont::Normal);
    QVERIFY(!title.italic() && !title.underline() && !title.strikeOut());

    // 5736 x 3564 twips, fixed.
    QCOMPARE(box.size(), QSize(382, 238));
    QCOMPARE(box.minimumSize(), box.maximumSize());

    const QList<QPair<QWidget*, QRect>> places = {
        {box.cmdOK, QRect(283, 175, 84, 23)},         {box.cmdSysInfo, QRect(284, 205, 83, 23)},
        {box.picIcon, QRect(16, 16, 32, 32)},         {box.lblDescription, QRect(64, 75, 259, 78)},
        {box.lblDisclaimer, QRect(17, 175, 258, 55)}, {box.lblTitle, QRect(70, 16, 259, 32)},
        {box.lblVersion, QRect(70, 52, 259, 15)},     {box.Line1[1], QRect(6, 163, 372, 1)},
        {box.Line1[0], QRect(7, 164, 371, 2)},
    };
    for (const auto& [widget, rect] : places)
        QCOMPARE(widget->geometry(), rect);
    QCOMPARE(box.cmdOK->geometry().right(), box.cmdSysInfo->geometry().right());
    QCOMPARE(box.Line1[1]->palette().color(QPalette::Window), QColor(128, 128, 128));
    QCOMPARE(box.Line1[0]->palette().color(QPalette::Window), QColor(255, 255, 255));
    QVERIFY(!box.picIcon->pixmap().isNull());

    QCOMPARE(box.cmdOK->text(), QString("OK"));
    QVERIFY(box.cmdOK->isDefault());
    QCOMPARE(box.cmdSysInfo->text(), QString("&System Info..."));

    const QString website = QString::fromLatin1(ProductWebsite);
    QCOMPARE(box.lblDescription->text(),
             website + QString(109, ' ') +
                 "Suggestions and comments: " + "suggestion@example.org ");
    if (website == "http:\\\\www.example.org\\vantrell\\ipupdate\\index.htm")
        QCOMPARE(box.lblDescription->text().size(), 208);
    QVERIFY(box.lblDisclaimer->text().startsWith(
        "This software is distributed with NO WARRANTY OF ANY KIND.  Copyright"));
}

void tst_about::textsShowWhole() {
    // With the platform's font, and with a larger one as desktops have.
    const QFont platformFont = QApplication::font();
    for (const qreal points : {platformFont.pointSizeF(), 12.0}) {
        QFont font = platformFont;
        font.setPointSizeF(points);
        QApplication::setFont(font);
        frmAbout box;
        QApplication::setFont(platformFont);

        for (QLabel* label : {box.lblTitle, box.lblVersion, box.lblDescription, box.lblDisclaimer})
            QVERIFY2(showsWhole(label->text(), label->font(), label->size()),
                     qPrintable(label->text()));
        // The product page's address on one line, whole; the contact line below it.
        const QStringList lines = shownLines(box.lblDescription);
        QCOMPARE(lines.value(0), QString::fromLatin1(ProductWebsite));
        QVERIFY2(lines.value(1).startsWith("Suggestions and comments: "),
                 qPrintable(lines.join('|')));
        for (QPushButton* button : {box.cmdOK, box.cmdSysInfo}) {
            const int frame =
                button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
            QVERIFY(button->fontMetrics().horizontalAdvance(button->text().remove('&')) +
                        2 * frame <=
                    button->width());
        }
    }
}

void tst_about::labelsReadOnAnyPalette_data() {
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("changedWhileOpen");
    QTest::newRow("light") << false << false;
    QTest::newRow("dark") << true << false;
    QTest::newRow("turned dark while open") << true << true;
    QTest::newRow("turned light again while open") << false << true;
}

void tst_about::labelsReadOnAnyPalette() {
    QFETCH(bool, dark);
    QFETCH(bool, changedWhileOpen);
    const QPalette light = QApplication::palette();
    const auto restore = qScopeGuard([&] { QApplication::setPalette(light); });
    const QPalette wanted = dark ? DarkPalette() : light;

    if (changedWhileOpen)
        QApplication::setPalette(dark ? light : DarkPalette());
    else
        QApplication::setPalette(wanted);
    frmAbout box;
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    if (changedWhileOpen) {
        QApplication::setPalette(wanted);
        QCoreApplication::processEvents();
    }

    // What the eye sees: in each label, the pixel that stands out most from the window behind
    // it is the text, and it stands out by at least half the scale from black to white.
    const QImage shot = box.grab().toImage();
    const int background = qGray(wanted.color(QPalette::Window).rgb());
    QCOMPARE(qGray(shot.pixel(2, 2)), background);
    for (QLabel* label : {box.lblTitle, box.lblVersion, box.lblDescription, box.lblDisclaimer}) {
        int strongest = 0;
        const QRect area = label->geometry() & shot.rect();
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                strongest = qMax(strongest, qAbs(qGray(shot.pixel(x, y)) - background));
        QVERIFY2(strongest >= 128, qPrintable(QString("\"%1\" stands out by %2 of 255")
                                                  .arg(label->text().simplified())
                                                  .arg(strongest)));
    }
    // The engraved line's highlight is a gentle edge, not a bright bar across a dark window.
    const int glare = qAbs(qGray(shot.pixel(box.Line1[0]->geometry().center())) - background);
    QVERIFY2(glare <= 64, qPrintable(QString("the highlight stands out by %1").arg(glare)));
    // On a light window the designed black stays.
    if (!dark)
        for (QLabel* label : {box.lblTitle, box.lblDescription, box.lblDisclaimer})
            QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::black));
}

void tst_about::addressCanBeCopied_data() {
    QTest::addColumn<bool>("wholeText");
    QTest::newRow("double click on the address") << false;
    QTest::newRow("everything from the menu") << true;
}

void tst_about::addressCanBeCopied() {
    QFETCH(bool, wholeText);
    frmAbout box;
    box.show();
    QVERIFY(QTest::qWaitForWindowActive(&box));
    QLabel* label = box.lblDescription;
    QApplication::clipboard()->clear();
    const QString website = QString::fromLatin1(ProductWebsite);
    if (wholeText) {
        // Select All, as the label's own menu offers it.
        QTest::mouseClick(label, Qt::LeftButton, {}, QPoint(4, 4));
        QTest::keyClick(label, Qt::Key_A, Qt::ControlModifier);
    } else {
        const int middle = label->fontMetrics().horizontalAdvance(website) / 2;
        QTest::mouseDClick(label, Qt::LeftButton, {}, QPoint(middle, 4));
    }
    QTest::keyClick(label, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), wholeText ? label->text() : website);
    // Selecting stays a matter for the mouse: Tab still goes from OK to System Info.
    box.cmdOK->setFocus();
    QTest::keyClick(&box, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), box.cmdSysInfo);
}

void tst_about::eachShowingLoadsAfresh() {
    frmAbout box;
    for (int showing = 0; showing < 2; ++showing) {
        QStringList seen;
        QWidget* focus = nullptr;
        bool modal = false;
        bool active = false;
        QTimer::singleShot(0, &box, [&] {
            active = QTest::qWaitForWindowActive(&box);
            seen << box.windowTitle() << box.lblVersion->text() << box.lblTitle->text();
            focus = QApplication::focusWidget();
            modal = box.isModal();
            // Leave things changed for the next showing to put right.
            box.cmdSysInfo->setFocus();
            box.setWindowTitle("stale");
            box.lblVersion->clear();
            box.lblTitle->clear();
            box.accept();
        });
        box.exec();
        QVERIFY(active);
        QCOMPARE(seen, QStringList({"About Tallyhost", "Version 0.6.0", "Tallyhost"}));
        QCOMPARE(focus, box.cmdOK);
        QVERIFY(modal);
    }
}

void tst_about::okEnterAndEscClose() {
    frmAbout box;
    const QList<std::function<void()>> closers = {
        [&] { QTest::mouseClick(box.cmdOK, Qt::LeftButton); },
        [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); },
        [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier); },
        [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape); },
    };
    for (const auto& close : closers) {
        // Should the box stay open, this ends the showing so that the test fails, not hangs.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, &box, [&] { box.done(-1); });
        QTimer::singleShot(0, &box, [&] {
            guard.start(5000);
            if (QTest::qWaitForWindowActive(&box))
                close();
        });
        const int result = box.exec();
        guard.stop();
        QVERIFY(result != -1);
        QVERIFY(!box.isVisible());
    }
}

void tst_about::altSStartsSysInfo() {
    MessageRecorder messages;
    frmAbout box;
    box.show();
    QVERIFY(QTest::qWaitForWindowActive(&box));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
    // A mnemonic presses its button visibly, so the click follows a moment later.
    QTRY_COMPARE(messages.texts(), QStringList{Unavailable});
    QCOMPARE(messages.messages.first().title, QString("Tallyhost"));
    QCOMPARE(messages.messages.first().icon, platform::MsgIcon::None);
    QVERIFY(box.isVisible());
}

void tst_about::sysInfoFoundOnPath() {
#ifdef Q_OS_WIN
    QSKIP("Windows finds the program through the registry");
#endif
    const QString first = m_dir.filePath("bin1"), second = m_dir.filePath("bin2");
    // Things that look like the program but are not an ordinary executable file.
    QVERIFY(QDir().mkpath(first + "/hardinfo2"));
    QVERIFY(!makeScript(first + "/hardinfo", false).isEmpty());
    const QString script = makeScript(second + "/kinfocenter");
    QVERIFY(!script.isEmpty());
    QVERIFY(!makeScript(second + "/gnome-system-monitor").isEmpty());
    qputenv("PATH", QFile::encodeName(first + ':' + second + ':' + m_dir.filePath("empty")));

    MessageRecorder messages;
    frmAbout box;
    box.StartSysInfo();
    QCOMPARE(messages.texts(), QStringList());
    QTRY_COMPARE(ranScripts(), QStringList{script});

    // Nothing that counts anywhere on PATH.
    qputenv("PATH", QFile::encodeName(first));
    box.StartSysInfo();
    QCOMPARE(messages.texts(), QStringList{Unavailable});
}

void tst_about::sysInfoRecordedPathComesFirst() {
#ifdef Q_OS_WIN
    QSKIP("Windows finds the program through the registry");
#endif
    const QString recorded = makeScript(m_dir.filePath("admin/info"));
    const QString onPath = makeScript(m_dir.filePath("bin3/hardinfo"));
    qputenv("PATH", QFile::encodeName(m_dir.filePath("bin3")));
    recordSysInfoPath(recorded);

    MessageRecorder messages;
    frmAbout box;
    box.StartSysInfo();
    QCOMPARE(messages.texts(), QStringList());
    QTRY_COMPARE(ranScripts(), QStringList{recorded});

    // A recorded file that is missing is not made up for from PATH: the start fails, and the
    // message shows although PATH holds a program that would start.
    recordSysInfoPath(m_dir.filePath("admin/missing"));
    box.StartSysInfo();
    QCOMPARE(messages.texts(), QStringList{Unavailable});

    // No registry here: reading one fails and leaves no text.
    QString val = "old";
    QVERIFY(!box.GetKeyValue(0x80000002, "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH", val));
    QCOMPARE(val, QString());
}

void tst_about::shellDocumentHandsOverTexts() {
    QList<QStringList> requests;
    const auto previous =
        platform::shell::SetHandler([&](const QString& op, const QString& file,
                                        const QString& params, const QString& dir, int show) {
            requests.append({op, file, params, dir, QString::number(show)});
        });

    const QString website = QString::fromLatin1(ProductWebsite);
    ShellDocument("Open", website, 0, 0);
    ShellDocument("Open", website, 0, 0);
    ShellDocument("Open", "readme.txt", 12, "/tmp");
    platform::shell::SetHandler(previous);

    const QStringList expected{"Open", website, "0", "0", "1"};
    QCOMPARE(requests, QList<QStringList>({expected, expected,
                                           QStringList{"Open", "readme.txt", "12", "/tmp", "1"}}));
}

QTEST_MAIN(tst_about)
#include "tst_about.moc"
