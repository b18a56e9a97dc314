// Draws the windows as a user sees them, for the README and for looking at them under another
// palette, font size or scale. It checks nothing: the tests do that.
//   vantrell_screenshots [--dark] PREFIX
// writes PREFIX-main.png and PREFIX-about.png (the windows alone),
// PREFIX-options.png, PREFIX-options-answers.png and PREFIX-trust.png (the Options dialog, before
// and after Detect, and a trust question), PREFIX-uploading.png (the main window during a slow
// upload to a test server, when $VANTRELL_FTP_SERVER names its script) and PREFIX-history.png
// (Tools > History... with sample entries), and,
// on a real window system, PREFIX-screen-about.png and PREFIX-screen-message.png (the screen with
// the About box or a message open over the main window). Settings are sample ones in a throwaway
// folder.
#include "Application.h"
#include "FtpServer.h"
#include "MsgBox.h"
#include "Palettes.h"
#include "PublishHistory.h"
#include "frmAbout.h"
#include "frmHistory.h"
#include "frmOptions.h"
#include "frmTallyhost.h"
#include "frmTrust.h"
#include "modAddress.h"
#include "modHistory.h"
#include "modTallyhost.h"

#include <QAction>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

void settle() {
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
}

void saveScreen(const QString& path) {
    if (!platform::IsHeadless())
        QGuiApplication::primaryScreen()->grabWindow(0).save(path);
}

} // namespace

int main(int argc, char* argv[]) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const bool dark = args.removeAll(QStringLiteral("--dark")) > 0;
    if (args.size() != 1) {
        std::fputs("usage: vantrell_screenshots [--dark] PREFIX\n", stderr);
        return 2;
    }
    const QString prefix = args.first();

    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    // The sample history and the upload below are kept under a home of their own, never in the
    // user's own history; the pictures then show the usual place.
    qputenv("HOME", QFile::encodeName(config.path()));
    qunsetenv("XDG_STATE_HOME");
    qputenv("windir", QFile::encodeName(config.path()));
    QDir(config.path()).mkdir("temp");
    // The program reads its own command line: a "/a" in the prefix would start an upload.
    int programArgc = 1;
    Application app(programArgc, argv, {});
    if (dark) {
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QApplication::setPalette(DarkPalette());
    }
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, "TallyhostUpdater");
        settings.setValue("FTP/FTPSite", "ftp.example.org");
        settings.setValue("FTP/UserName", "webmaster");
        settings.setValue("FTP/Password", "secret");
        settings.setValue("FTP/UploadFileName", "index.htm");
        settings.setValue("HTML/HTMLTemplate", "/home/alex/web/ip.htm");
        settings.setValue("HTML/UploadDir", "public_html");
    }

    Main();
    frmTallyhost& form = MainForm();
    // Away from the corner, so that a box placed by itself is told from one placed over it.
    form.move(120, 90);
    settle();
    form.grab().save(prefix + "-main.png");

    QTimer::singleShot(300, &form, [&] {
        saveScreen(prefix + "-screen-about.png");
        form.About()->grab().save(prefix + "-about.png");
        form.About()->accept();
    });
    form.mnuAbout->trigger();

    {
        frmOptions options(&form);
        LoadOptions(options);
        options.show();
        settle();
        options.grab().save(prefix + "-options.png");
        // As Detect leaves it, a long explanation among the answers.
        const QString answers[][2] = {
            {"192.168.1.20", "not reachable from the internet: a private network address"},
            {"2001:db8:4:1::20", "reachable from the internet"},
            {"no answer", "no router answered on the local network within 3 s; give its "
                          "description URL if it does not announce itself"},
            {"203.0.113.7", "reachable from the internet"},
        };
        for (size_t i = 0; i < std::size(answers); ++i) {
            options.lblAnswer[i]->setText(answers[i][0]);
            options.lblHint[i]->setText(answers[i][1]);
        }
        settle();
        options.grab().save(prefix + "-options-answers.png");
    }
    {
        platform::TrustProblem problem;
        problem.kind = platform::TrustProblem::Kind::Certificate;
        problem.host = QStringLiteral("ftp.example.org");
        problem.port = 21;
        problem.reason = QStringLiteral(
            "self-signed certificate; it is for www.example.net, not ftp.example.org");
        problem.otherHost = true;
        problem.names = QStringList{QStringLiteral("www.example.net")};
        problem.subject = QStringLiteral("CN=www.example.net");
        problem.issuer = QStringLiteral("CN=www.example.net");
        problem.validFrom = QStringLiteral("2026-01-01T00:00:00Z");
        problem.validUntil = QStringLiteral("2027-01-01T00:00:00Z");
        problem.fingerprint = QStringLiteral(
            "3A:9F:01:C4:77:2E:B8:5D:10:E2:4C:6B:93:AF:0D:21:58:7C:E9:34:A0:1B:66:D2:"
            "8E:F3:47:05:BC:19:C2:7A");
        frmTrust trust(problem, QString(), &form);
        trust.show();
        settle();
        trust.grab().save(prefix + "-trust.png");
    }

    {
        using platform::HistoryEntry;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const HistoryEntry samples[] = {
            {now.addSecs(-3 * 3600),
             HistoryEntry::Start::Schedule,
             "203.0.113.7",
             "web",
             "ftp.example.org",
             "public_html",
             "index.htm",
             HistoryEntry::Result::Published,
             {}},
            {now.addSecs(-2 * 3600),
             HistoryEntry::Start::Schedule,
             "203.0.113.7",
             "web",
             "ftp.example.org",
             "public_html",
             "index.htm",
             HistoryEntry::Result::Unchanged,
             {}},
            {now.addSecs(-3600), HistoryEntry::Start::Schedule, "203.0.113.9", "web",
             "ftp.example.org", "public_html", "index.htm", HistoryEntry::Result::Failed,
             "Unable to upload file: Could not connect to ftp.example.org:21 (Connection timed "
             "out after 60 seconds)"},
            {now.addSecs(-1800), HistoryEntry::Start::Window, "203.0.113.9", "web",
             "ftp.example.org", "public_html", "index.htm", HistoryEntry::Result::Cancelled,
             "Cancelled"},
            {now.addSecs(-600),
             HistoryEntry::Start::Window,
             "203.0.113.9",
             "web",
             "ftp.example.org",
             "public_html",
             "index.htm",
             HistoryEntry::Result::Published,
             {}},
        };
        for (const HistoryEntry& e : samples)
            platform::AddToHistory(e);
        frmHistory history(&form);
        LoadHistory(history);
        history.show();
        settle();
        history.grab().save(prefix + "-history.png");
    }

    // A real upload, slowed down, seen half way.
    FtpServer server;
    if (qEnvironmentVariableIsSet("VANTRELL_FTP_SERVER") && server.start({.readLimit = 2 << 20})) {
        QDir(server.root()).mkdir("public_html");
        QFile page(config.filePath("ip.htm"));
        if (page.open(QIODevice::WriteOnly))
            page.write(QByteArray(24 << 20, ' ').prepend("<p>%Tallyhost%</p>"));
        page.close();
        form.txtFTPSite->setText(server.url().mid(6));
        form.txtUserName->setText(server.user());
        form.txtPassword->setText(server.password());
        form.txtHTMLTemplate->setText(config.filePath("ip.htm"));
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, &form, [&] {
            const QString line = form.lblStatus->text();
            if (!line.startsWith("Uploading") || line.section(' ', 2, 2).toInt() < 40)
                return;
            look.stop();
            // The sample settings back in the fields: the upload took what it needed at its start.
            form.txtFTPSite->setText("ftp.example.org");
            form.txtUserName->setText("webmaster");
            form.txtPassword->setText("secret");
            form.txtHTMLTemplate->setText("/home/alex/web/ip.htm");
            for (QLineEdit* field : form.findChildren<QLineEdit*>())
                field->setCursorPosition(0);
            form.grab().save(prefix + "-uploading.png");
            form.cmdCancel->click();
        });
        look.start(20);
        UploadPage();
    }

    QTimer::singleShot(300, &form, [&] {
        saveScreen(prefix + "-screen-message.png");
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    platform::MsgBox(QStringLiteral("Must supply FTP User Name."), platform::MsgIcon::None,
                     QStringLiteral("TallyhostUpdater"));
    return 0;
}
