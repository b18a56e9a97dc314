// Tools > Options: where the published address comes from, when an unattended run uploads, and
// what each source answers now (the web service and the router played on 127.0.0.1).

#include "AddressServer.h"
#include "AddressSource.h"
#include "PageServer.h"
#include "PublishState.h"
#include "Recorders.h"
#include "Schedule.h"
#include "SessionBusDaemon.h"
#include "frmOptions.h"
#include "frmTallyhost.h"
#include "modAddress.h"
#include "modTallyhost.h"

#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using platform::AddressSource;

namespace {

QString stored(const QString& key) {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "TallyhostUpdater");
    return settings.value(QStringLiteral("Address/") + key, QStringLiteral("<none>")).toString();
}

} // namespace

class tst_options : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void optionsKeepTheAddressSection();
    void detectShowsWhatEachSourceAnswers();
    void scheduleIsSetFromTheDialog_data();
    void scheduleIsSetFromTheDialog();
    void addressFieldsFollowTheSource_data();
    void addressFieldsFollowTheSource();
    void pageAddressIsCheckedAndKept();
    void fitsASmallScreen();

private:
    // Chooses Tools > Options... and, while the modal dialog is open, hands it to act.
    bool withOptions(const std::function<void(frmOptions&)>& act);

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<MessageRecorder> m_messages;
};

void tst_options::init() {
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_home->path());
    qputenv("XDG_STATE_HOME", m_home->filePath(QStringLiteral("state")).toLocal8Bit());
    m_messages = std::make_unique<MessageRecorder>();
    MainForm().show();
    LoadSettings();
    QVERIFY(QTest::qWaitForWindowActive(&MainForm()));
}

void tst_options::cleanup() {
    if (MainFormLoaded())
        MainForm().deleteLater();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_messages.reset();
    m_home.reset();
}

bool tst_options::withOptions(const std::function<void(frmOptions&)>& act) {
    frmTallyhost& form = MainForm();
    bool opened = false;
    QTimer::singleShot(0, [&] {
        if (auto* dialog = qobject_cast<frmOptions*>(QApplication::activeModalWidget())) {
            opened = true;
            act(*dialog);
        }
    });
    QMenuBar* bar = form.menuBar();
    QTest::mouseClick(bar, Qt::LeftButton, {},
                      bar->actionGeometry(form.mnuTools->menuAction()).center());
    if (!QTest::qWaitFor([&] { return form.mnuTools->isVisible(); }))
        return false;
    QTest::mouseClick(form.mnuTools, Qt::LeftButton, {},
                      form.mnuTools->actionGeometry(form.mnuOptions).center());
    return opened && !QApplication::activeModalWidget();
}

void tst_options::optionsKeepTheAddressSection() {
    platform::Publication last;
    last.address = QStringLiteral("203.0.113.7");
    last.address6 = QStringLiteral("2001:db8::5");
    last.time = QDateTime::currentDateTimeUtc();
    QVERIFY(platform::SavePublication(last));

    // No Address section yet: this machine's IPv4 address, every run uploads.
    QStringList seen;
    QVERIFY(withOptions([&](frmOptions& d) {
        seen << QString::number(d.optSource[0]->isChecked()) << d.txtWebURL->placeholderText()
             << QString::number(d.chkOnlyWhenChanged->isChecked())
             << QString::number(d.updRefreshDays->value())
             << QString::number(d.updRefreshDays->isEnabled()) << d.lblLastPublished->text();
        d.optSource[2]->click();
        d.txtRouterURL->setText(QStringLiteral(" http://192.168.1.1:5000/rootDesc.xml"));
        d.chkOnlyWhenChanged->click();
        d.updRefreshDays->setValue(7);
        QTest::mouseClick(d.cmdOK, Qt::LeftButton);
    }));
    QCOMPARE(seen.mid(0, 5),
             QStringList({"1",
                          "empty: https://api.ipify.org; several agree: https://api64.ipify.org "
                          "https://icanhazip.com",
                          "0", "25", "0"}));
    QVERIFY2(seen.value(5).startsWith("Last published: 203.0.113.7 and 2001:db8::5 at "),
             qPrintable(seen.value(5)));
    QCOMPARE(stored("Source"), QString("router"));
    QCOMPARE(stored("RouterURL"), QString("http://192.168.1.1:5000/rootDesc.xml"));
    QCOMPARE(stored("WebURL"), QString());
    QCOMPARE(stored("OnlyWhenChanged"), QString("True"));
    QCOMPARE(stored("RefreshDays"), QString("7"));

    // A web address that is not one keeps the dialog open; Cancel then stores nothing.
    seen.clear();
    QVERIFY(withOptions([&](frmOptions& d) {
        seen << QString::number(d.optSource[2]->isChecked()) << d.txtRouterURL->text()
             << QString::number(d.updRefreshDays->value());
        d.optSource[3]->click();
        d.txtWebURL->setText(QStringLiteral("ftp://example.org/ip"));
        QTest::mouseClick(d.cmdOK, Qt::LeftButton);
        seen << QString::number(d.isVisible());
        QTest::mouseClick(d.cmdCancel, Qt::LeftButton);
    }));
    QCOMPARE(seen, QStringList({"1", "http://192.168.1.1:5000/rootDesc.xml", "7", "1"}));
    QCOMPARE(m_messages->texts(),
             QStringList({"The web address must start with https:// or http://."}));
    QCOMPARE(stored("Source"), QString("router"));
    QCOMPARE(stored("WebURL"), QString());

    // Several sources that must agree: the lists are kept one space apart, a STUN server
    // written as a web address is refused.
    m_messages->messages.clear();
    QVERIFY(withOptions([&](frmOptions& d) {
        d.optSource[4]->click();
        d.chkTemporaryIPv6->click();
        d.txtWebURL->setText(QStringLiteral(" https://a.example/ip \t http://b.example/ "));
        d.txtStunServers->setText(QStringLiteral("stun://stun.example.net"));
        QTest::mouseClick(d.cmdOK, Qt::LeftButton);
        d.txtStunServers->setText(QStringLiteral(" stun.example.net:3478   [2001:db8::1]:3478 "));
        QTest::mouseClick(d.cmdOK, Qt::LeftButton);
    }));
    QCOMPARE(m_messages->texts(),
             QStringList({"A STUN server is written host:port, such as stun.example.net:3478, and "
                          "several are separated by spaces."}));
    QCOMPARE(stored("Source"), QString("auto"));
    QCOMPARE(stored("WebURL"), QString("https://a.example/ip http://b.example/"));
    QCOMPARE(stored("StunServers"), QString("stun.example.net:3478 [2001:db8::1]:3478"));
    QCOMPARE(stored("TemporaryIPv6"), QString("True"));
}

void tst_options::detectShowsWhatEachSourceAnswers() {
    AddressServer stand;
    QVERIFY2(stand.start({.badStun = true}), qPrintable(stand.errorString()));
    frmOptions dialog(&MainForm());
    LoadOptions(dialog);
    dialog.txtRouterURL->setText(stand.router(QStringLiteral("100.64.1.1")));
    dialog.txtWebURL->setText(stand.say(QStringLiteral("203.0.113.9")) + ' ' +
                              stand.say(QStringLiteral("Your address: 203.0.113.9")));
    dialog.txtStunServers->setText(stand.badStun(QStringLiteral("private")));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const auto buttonPlaces = [&] {
        return QList<QRect>{
            dialog.geometry(), QRect(dialog.cmdOK->mapTo(&dialog, QPoint()), dialog.cmdOK->size()),
            QRect(dialog.cmdCancel->mapTo(&dialog, QPoint()), dialog.cmdCancel->size())};
    };
    const QList<QRect> before = buttonPlaces();

    // One Detect button: a second one hidden under it came first on Tab and did nothing. The
    // click goes to whatever the mouse finds where the button is shown.
    QStringList captions;
    for (const QPushButton* button : dialog.findChildren<QPushButton*>())
        captions << button->text();
    QCOMPARE(captions.count(QStringLiteral("Detect")), 1);
    QWidget* shown =
        dialog.childAt(dialog.cmdDetect->mapTo(&dialog, dialog.cmdDetect->rect().center()));
    QVERIFY(shown);
    QTest::mouseClick(shown, Qt::LeftButton);
    QVERIFY(!dialog.cmdDetect->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(dialog.cmdDetect->isEnabled(), 15000);
    // The answers, long ones included, arrived without moving OK and Cancel from under the mouse.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(buttonPlaces(), before);

    const auto row = [&dialog](AddressSource source) {
        return QStringList{dialog.lblAnswer[size_t(source)]->text(),
                           dialog.lblHint[size_t(source)]->text()};
    };
    QCOMPARE(row(AddressSource::Router),
             QStringList({"100.64.1.1", "not reachable from the internet: a carrier-grade NAT "
                                        "address, which the provider shares among many "
                                        "customers"}));
    QCOMPARE(row(AddressSource::Stun).value(0), QString("192.168.1.2"));
    QCOMPARE(row(AddressSource::NatPmp).value(0), QString("no answer"));
    // Two web services, one line each.
    QCOMPARE(row(AddressSource::Web).value(0), QString("203.0.113.9\nno answer"));
    QVERIFY2(row(AddressSource::Web).value(1).contains(": reachable from the internet\n"),
             qPrintable(row(AddressSource::Web).value(1)));
    QVERIFY2(row(AddressSource::Web).value(1).contains("is not an address (\"Your address: "),
             qPrintable(row(AddressSource::Web).value(1)));
    // What the rule makes of them, and what they mean.
    QCOMPARE(row(AddressSource::Auto),
             QStringList({"nothing", "No second, independent source confirms 203.0.113.9, so it "
                                     "is not published. The router's own public address is in "
                                     "100.64.0.0/10: the provider shares one public address "
                                     "among many customers (carrier-grade NAT), and people "
                                     "outside cannot reach this machine over IPv4 whatever the "
                                     "page says; publishing its global IPv6 address may help."}));
    // This machine answers whatever it has; either way every row says something.
    for (AddressSource source : {AddressSource::Local, AddressSource::Local6})
        QVERIFY(!row(source).value(0).isEmpty() && !row(source).value(1).isEmpty());
    // Detecting chose nothing and stored nothing.
    QVERIFY(dialog.optSource[0]->isChecked());
    QCOMPARE(stored("Source"), QString("<none>"));
}

void tst_options::scheduleIsSetFromTheDialog_data() {
    QTest::addColumn<bool>("systemd");   // whether systemd's user manager is on the session bus
    QTest::addColumn<QString>("before"); // "off", "timer MINUTES" or "watcher MINUTES"
    // What the dialog does: "tick" or "untick" the box, choose the "timer" or "watcher", set
    // the timer's "minutes N" or the "watcher minutes N".
    QTest::addColumn<QStringList>("steps");
    // The box, whether it can be ticked, the kind chosen and its minutes, when the dialog opens.
    QTest::addColumn<QString>("opened");
    // What the dialog says when it opens and after each step; "NEXT" is the next run.
    QTest::addColumn<QStringList>("said");
    QTest::addColumn<QStringList>("units"); // the unit files of ours afterwards

    const QString off = QStringLiteral("Off: the page is published only when you upload it.");
    const auto timer = [](int minutes) {
        return QStringLiteral("On: publishing every %1 minutes, next run at NEXT.").arg(minutes);
    };
    const auto watcher = [](int minutes) {
        return QStringLiteral("On: publishing as soon as the address changes, checking every %1 "
                              "minutes as well.")
            .arg(minutes);
    };
    const QStringList timerUnits{"vantrell-schedule.service", "vantrell-schedule.timer"};
    const QStringList watcherUnits{"vantrell-watch.service"};
    // Until OK, the line says what OK will do.
    const QString offOnOK = QStringLiteral(
        "Off once you press OK: the page will be published only when you upload it.");
    const auto timerOnOK = [](int minutes) {
        return QStringLiteral("On once you press OK: publishing every %1 minutes.").arg(minutes);
    };
    const auto watcherOnOK = [](int minutes) {
        return QStringLiteral("On once you press OK: publishing as soon as the address changes, "
                              "checking every %1 minutes as well.")
            .arg(minutes);
    };
    QTest::newRow("every so many minutes")
        << true << "off" << QStringList{"tick", "minutes 30"} << "box 0, can 1, timer 15"
        << QStringList{off, timerOnOK(15), timerOnOK(30), timer(30)} << timerUnits;
    // Choosing the kind while the box is clear sets nothing up.
    QTest::newRow("as soon as the address changes")
        << true << "off" << QStringList{"watcher", "tick", "watcher minutes 10"}
        << "box 0, can 1, timer 15"
        << QStringList{off, off, watcherOnOK(15), watcherOnOK(10), watcher(10)} << watcherUnits;
    QTest::newRow("from the timer to the watcher")
        << true << "timer 30" << QStringList{"watcher"} << "box 1, can 1, timer 30"
        << QStringList{timer(30), watcherOnOK(15), watcher(15)} << watcherUnits;
    QTest::newRow("from the watcher back to the timer")
        << true << "watcher 10" << QStringList{"timer"} << "box 1, can 1, watcher 10"
        << QStringList{watcher(10), timerOnOK(15), timer(15)} << timerUnits;
    QTest::newRow("cleared") << true << "watcher 10" << QStringList{"untick"}
                             << "box 1, can 1, watcher 10" << QStringList{watcher(10), offOnOK, off}
                             << QStringList();
    // Cancel leaves the system as it was: nothing was changed before OK.
    QTest::newRow("cancelled") << true << "timer 30"
                               << QStringList{"untick", "tick", "minutes 45", "cancel"}
                               << "box 1, can 1, timer 30"
                               << QStringList{timer(30), offOnOK, timer(30), timerOnOK(45)}
                               << timerUnits;
    // Where nothing can run it, the dialog says so and offers the crontab lines instead.
    const QString crontab = QStringLiteral(
        "Not available: no systemd user manager answers on the session bus. Publishing as soon "
        "as the address changes needs one; to publish from cron every %1 minutes instead (package "
        "cron), add these lines with crontab -e:");
    QTest::newRow("no systemd") << false << "off" << QStringList{"minutes 30"}
                                << "box 0, can 0, timer 15"
                                << QStringList{crontab.arg(15), crontab.arg(30)} << QStringList();
}

// The box and the kind chosen are put in place with OK, the other kind taken away, and the
// dialog shows what systemd reports; Cancel changes nothing on the system; where nothing can run
// it, the dialog says so and offers the crontab lines instead.
void tst_options::scheduleIsSetFromTheDialog() {
    QFETCH(bool, systemd);
    QFETCH(QString, before);
    QFETCH(QStringList, steps);
    QFETCH(QString, opened);
    QFETCH(QStringList, said);
    QFETCH(QStringList, units);
    const QDir unitFolder(
        QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).filePath(QStringLiteral("systemd/user")));
    const QDateTime next(QDate(2031, 1, 2), QTime(3, 4));
    SessionBusDaemon bus;
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    BusStandIns standIns(bus.address());
    QVERIFY(standIns.serve(systemd ? QStringLiteral("org.freedesktop.systemd1")
                                   : QStringLiteral("org.example.Unrelated"),
                           QStringLiteral("/org/freedesktop/systemd1"),
                           new SystemdStandIn(unitFolder.path(), next)));
    const QByteArray oldBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toLocal8Bit());
    const auto restore = qScopeGuard([&] {
        platform::Schedule(QCoreApplication::applicationFilePath()).Remove();
        qputenv("DBUS_SESSION_BUS_ADDRESS", oldBus);
    });
    if (before != QLatin1String("off")) {
        platform::Schedule schedule(QCoreApplication::applicationFilePath());
        QVERIFY(schedule.Set(before.section(u' ', 1).toInt(),
                             before.startsWith(QLatin1String("watcher"))
                                 ? platform::ScheduleKind::Watcher
                                 : platform::ScheduleKind::Timer));
    }

    QString shown;
    QStringList seen;
    QString crontab;
    QVERIFY(withOptions([&](frmOptions& d) {
        const bool watching = d.optScheduleWatch->isChecked();
        shown = QStringLiteral("box %1, can %2, %3 %4")
                    .arg(int(d.chkSchedule->isChecked()))
                    .arg(int(d.chkSchedule->isEnabled()))
                    .arg(watching ? "watcher" : "timer")
                    .arg((watching ? d.updWatchMinutes : d.updScheduleMinutes)->value());
        seen << d.lblSchedule->text();
        bool cancel = false;
        for (const QString& step : steps) {
            const int minutes = step.section(u' ', -1).toInt();
            if (step == QLatin1String("cancel")) {
                cancel = true;
                continue;
            }
            if (step == QLatin1String("tick") || step == QLatin1String("untick"))
                d.chkSchedule->click();
            else if (step == QLatin1String("watcher"))
                d.optScheduleWatch->click();
            else if (step == QLatin1String("timer"))
                d.optScheduleTimer->click();
            else if (step.startsWith(QLatin1String("watcher minutes")))
                d.updWatchMinutes->setValue(minutes);
            else
                d.updScheduleMinutes->setValue(minutes);
            seen << d.lblSchedule->text();
        }
        crontab = !d.txtCrontab->isHidden() ? d.txtCrontab->toPlainText() : QString();
        QTest::mouseClick(cancel ? d.cmdCancel : d.cmdOK, Qt::LeftButton);
        // What systemd reports once OK has put the choice in place.
        if (!cancel && systemd)
            seen << d.lblSchedule->text();
    }));
    QCOMPARE(m_messages->texts(), QStringList());
    QCOMPARE(shown, opened);
    seen.replaceInStrings(QLocale().toString(next, QLocale::ShortFormat), QStringLiteral("NEXT"));
    QCOMPARE(seen, said);
    QCOMPARE(unitFolder.entryList(QDir::Files, QDir::Name), units);
    QCOMPARE(crontab, systemd ? QString()
                              : QStringLiteral("0,30 * * * * '%1' /A\n")
                                    .arg(QCoreApplication::applicationFilePath()));
}

void tst_options::addressFieldsFollowTheSource_data() {
    QTest::addColumn<int>("source");
    QTest::addColumn<bool>("routerField");
    QTest::addColumn<bool>("webField");
    QTest::newRow("this machine") << 0 << false << false;
    QTest::newRow("this machine, IPv6") << 1 << false << false;
    QTest::newRow("router") << 2 << true << false;
    QTest::newRow("web service") << 3 << false << true;
    QTest::newRow("sources that must agree") << 4 << true << true;
}

void tst_options::addressFieldsFollowTheSource() {
    QFETCH(int, source);
    QFETCH(bool, routerField);
    QFETCH(bool, webField);
    frmOptions dialog(&MainForm());
    LoadOptions(dialog);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // Chosen from another source, so that the fields must change with the choice.
    dialog.optSource[size_t(source == 3 ? 2 : 3)]->click();
    dialog.optSource[size_t(source)]->click();
    QCOMPARE(dialog.txtRouterURL->isEnabled(), routerField);
    QCOMPARE(dialog.txtWebURL->isEnabled(), webField);
    // The fields start where the answers do, one under the other.
    QCOMPARE(dialog.txtRouterURL->mapTo(&dialog, QPoint()).x(),
             dialog.txtWebURL->mapTo(&dialog, QPoint()).x());
    QCOMPARE(dialog.txtWebURL->mapTo(&dialog, QPoint()).x(),
             dialog.lblAnswer[3]->mapTo(&dialog, QPoint()).x());
}

// Where visitors open the page: Check now looks there at once and says what it found; OK keeps
// an address a browser opens, and nothing else.
void tst_options::pageAddressIsCheckedAndKept() {
    QTemporaryDir site;
    const QByteArray page = "<p>203.0.113.7</p>\r\n";
    {
        QFile file(site.filePath(QStringLiteral("ip.htm")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(page) == page.size());
    }
    PageServer web;
    QVERIFY2(web.start({.root = site.path()}), qPrintable(web.errorString()));
    platform::Publication last;
    last.address = QStringLiteral("203.0.113.7");
    last.time = QDateTime::currentDateTimeUtc();
    last.pageHash = QCryptographicHash::hash(page, QCryptographicHash::Sha256).toHex();
    last.pageSize = page.size();
    QVERIFY(platform::SavePublication(last));

    QStringList seen;
    QVERIFY(withOptions([&](frmOptions& d) {
        seen << d.txtPageURL->text();
        const auto checkNow = [&](const QString& url) {
            d.txtPageURL->setText(url);
            QTest::mouseClick(d.cmdCheckPage, Qt::LeftButton);
            QVERIFY(QTest::qWaitFor([&] { return d.cmdCheckPage->isEnabled(); }, 15000));
            seen << d.lblPageCheck->text();
        };
        checkNow(web.url(QStringLiteral("ip.htm")));
        checkNow(web.url(QStringLiteral("www/ip.htm")));
        checkNow(QStringLiteral("example.org/ip.htm"));
        // Not an address a browser opens: the dialog stays, and nothing is kept.
        QTest::mouseClick(d.cmdOK, Qt::LeftButton);
        seen << QString::number(d.isVisible());
        d.txtPageURL->setText(QStringLiteral(" ") + web.url(QStringLiteral("ip.htm")));
        QTest::mouseClick(d.cmdOK, Qt::LeftButton);
    }));
    QCOMPARE(seen.value(0), QString());
    QVERIFY2(seen.value(1).startsWith(QStringLiteral("Seen: visitors see the page published ")) &&
                 seen.value(1).endsWith(QStringLiteral(" (203.0.113.7).")),
             qPrintable(seen.value(1)));
    QCOMPARE(seen.value(2), QStringLiteral("Not seen: nothing at %1 (HTTP 404): the upload folder "
                                           "or file name may not be the ones the web server "
                                           "shows.")
                                .arg(web.url(QStringLiteral("www/ip.htm"))));
    QCOMPARE(seen.value(3), QStringLiteral("Type the address where visitors open the page, "
                                           "starting with https:// or http://."));
    QCOMPARE(seen.value(4), QStringLiteral("1"));
    QCOMPARE(m_messages->texts(),
             QStringList{QStringLiteral("The address where visitors open the page must start "
                                        "with https:// or http://, such as "
                                        "https://example.org/ip.htm.")});
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "TallyhostUpdater");
    QCOMPARE(settings.value(QStringLiteral("HTML/PageURL")).toString(),
             web.url(QStringLiteral("ip.htm")));
    // Asked once for each look, and never when there was nothing to look at.
    QCOMPARE(web.requests().size(), 2);
}

// A 1280 by 720 screen at 100 %, or 1920 by 1080 at 150 % (run with QT_FONT_DPI=144), less a
// panel: the whole dialog, OK and Cancel with it, stays on it.
void tst_options::fitsASmallScreen() {
    QVERIFY(withOptions([](frmOptions& d) {
        const qreal scale = d.logicalDpiY() / 96.0;
        const QSize screen(int(1280 * scale), int((720 - 48) * scale));
        const QRect whole = d.frameGeometry();
        QVERIFY2(whole.width() <= screen.width() && whole.height() <= screen.height(),
                 qPrintable(QStringLiteral("%1x%2 at %3 dpi")
                                .arg(whole.width())
                                .arg(whole.height())
                                .arg(d.logicalDpiY())));
        QTest::mouseClick(d.cmdCancel, Qt::LeftButton);
    }));
}

QTEST_MAIN(tst_options)
#include "tst_options.moc"
