// The FTP transfer control against a real pyftpdlib server on 127.0.0.1.

#include "FtpServer.h"
#include "Inet.h"
#include "OwnNetwork.h"
#include "Process.h"
#include "ProftpdServer.h"
#include "SftpRename.h"
#include "SshdServer.h"
#include "TestFiles.h"
#include "UploadJournal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <atomic>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::Inet;

Q_DECLARE_METATYPE(FtpServer::Options)

namespace {

// A page with what a byte-careless transfer would spoil: CR LF, NUL, high bytes, and enough
// of it to take several writes.
QByteArray samplePage(qsizetype size = 300 * 1024) {
    QByteArray page("<html>\r\n<p>%Tallyhost% \x00\xff\xfe\xc3\xa9</p>\r\n", 33);
    while (page.size() < size)
        page += QByteArray::number(page.size(), 16) + "\r\n";
    return page + "</html>\r\n";
}

// Waits as the upload job does. Nothing but the end of the command wakes it (the guard only
// at the limit), so an end that is lost, or that leaves the wait asleep, fails here. CTest runs
// this under Qt's own Unix event dispatcher, which sleeps on after the event it delivers.
bool waitLikeTheJob(Inet& inet, std::chrono::milliseconds limit = 30s) {
    bool late = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&late] { late = true; });
    guard.start(limit);
    platform::ProcessEventsUntil(&inet, &Inet::CommandFinished,
                                 [&] { return late || !inet.StillExecuting(); });
    return !late;
}

bool run(Inet& inet, const QString& operation) {
    QSignalSpy finished(&inet, &Inet::CommandFinished);
    inet.Execute(operation);
    if (!inet.StillExecuting()) // Execute must return before the command ends
        return false;
    return waitLikeTheJob(inet) && finished.count() == 1 && inet.LastSucceeded();
}

void pointAt(Inet& inet, FtpServer& server) {
    inet.setURL(server.url());
    inet.setUserName(server.user());
    inet.setPassword(server.password());
}

QString quoted(const QString& name) {
    return u'"' + name + u'"';
}

// A server in name only on 127.0.0.1: says its words to every connection, then hangs up or
// holds the connection open, saying no more.
class WordsServer {
public:
    WordsServer(QByteArray words, bool hangUp) : m_words(std::move(words)), m_hangUp(hangUp) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 8);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            for (int peer; (peer = ::accept(m_listener, nullptr, nullptr)) >= 0;) {
                (void)!::send(peer, m_words.constData(), size_t(m_words.size()), MSG_NOSIGNAL);
                if (m_hangUp)
                    ::close(peer);
                else
                    m_held.push_back(peer);
            }
        });
    }
    ~WordsServer() {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
        for (const int peer : m_held)
            ::close(peer);
    }
    WordsServer(const WordsServer&) = delete;
    WordsServer& operator=(const WordsServer&) = delete;
    QString site() const { return QStringLiteral("sftp://127.0.0.1:%1").arg(m_port); }

private:
    QByteArray m_words;
    bool m_hangUp;
    int m_listener = -1;
    quint16 m_port = 0;
    std::vector<int> m_held;
    std::thread m_thread;
};

// An SSH server's refusal of a connection before the key exchange, as ProFTPD sends it when
// too many are open: its line, then SSH_MSG_DISCONNECT in the clear.
QByteArray turnedAway(const QByteArray& why) {
    QByteArray payload("\x01\x00\x00\x00\x0c", 5);
    const auto string = [](const QByteArray& s) {
        const quint32 n = qToBigEndian(quint32(s.size()));
        return QByteArray(reinterpret_cast<const char*>(&n), 4) + s;
    };
    payload += string(why) + string("en-US");
    const QByteArray padding(8 - (payload.size() + 5) % 8 + 8, '\0');
    const quint32 length = qToBigEndian(quint32(1 + payload.size() + padding.size()));
    return "SSH-2.0-mod_sftp\r\n" + QByteArray(reinterpret_cast<const char*>(&length), 4) +
           char(padding.size()) + payload + padding;
}

} // namespace

class TestInet : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_local.isValid()); }

    void uploadsIntoSubdirectoryOverOneLogin() {
        FtpServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QDir root(server.root());
        QVERIFY(root.mkdir("www"));
        QVERIFY(writeFile(root.filePath("www/index.htm"), "old page"));
        QVERIFY(QFile::setPermissions(root.filePath("www/index.htm"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        // Another upload's own, running or cut off: no other upload touches it.
        QVERIFY(writeFile(root.filePath("www/.index.htm.part"), "half a pa"));
        const QByteArray page = samplePage();
        const QString local = m_local.filePath("index.htm");
        QVERIFY(writeFile(local, page));

        Inet inet;
        pointAt(inet, server);
        QVERIFY2(run(inet, "CD www"), qPrintable(inet.LastError()));
        QVERIFY2(run(inet, "PUT " + local + " index.htm"), qPrintable(inet.LastError()));
        QCOMPARE(readFile(root.filePath("www/index.htm")), page);
        QCOMPARE(QDir(root.filePath("www")).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{".index.htm.part", "index.htm"}));
        QCOMPARE(readFile(root.filePath("www/.index.htm.part")), QByteArray("half a pa"));
        QCOMPARE(root.entryList(QDir::Files | QDir::Hidden), QStringList{});
        // A round trip for each thing the replacement needs, none twice: every one costs the
        // time a reply takes to come back. The page is asked about alone, whatever stands beside
        // it; the folder is listed the first time only, when no upload of the page has been
        // written down yet.
        const auto sent = [&server](qsizetype from) {
            QStringList commands = server.commands().mid(from);
            commands.replaceInStrings(
                QRegularExpression(R"(\.vantrell-\d{8}T\d{6}Z-[0-9a-f]{8}\.part$)"), ".*.part");
            return commands;
        };
        QCOMPARE(sent(0), (QStringList{"USER vantrell", "PASS ******", "PWD", "CWD www",
                                       "STAT index.htm", "EPSV", "TYPE A", "LIST", "EPSV", "TYPE I",
                                       "STOR .index.htm.*.part", "SITE CHMOD 640 .index.htm.*.part",
                                       "RNFR .index.htm.*.part", "RNTO index.htm"}));
        QCOMPARE(server.loginCount(), 1);
        QCOMPARE(server.connectionCount(), 1);

        // The directory stays for the following commands, on the same connection.
        QVERIFY(writeFile(local, "second"));
        const qsizetype before = server.commands().size();
        QVERIFY2(run(inet, "PUT " + local + " index.htm"), qPrintable(inet.LastError()));
        QCOMPARE(readFile(root.filePath("www/index.htm")), QByteArray("second"));
        QCOMPARE(server.loginCount(), 1);
        QCOMPARE(sent(before), (QStringList{"STAT index.htm", "EPSV", "STOR .index.htm.*.part",
                                            "SITE CHMOD 640 .index.htm.*.part",
                                            "RNFR .index.htm.*.part", "RNTO index.htm"}));
    }

    void namesWithSpaces() {
        FtpServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QDir root(server.root());
        QVERIFY(root.mkpath("my dir") && root.mkpath("other dir/inner"));
        const QString local = m_local.filePath("a b.htm");
        QVERIFY(writeFile(local, "spaced"));

        Inet quotedNames;
        pointAt(quotedNames, server);
        QVERIFY2(run(quotedNames, "CD \"my dir\""), qPrintable(quotedNames.LastError()));
        QVERIFY2(run(quotedNames, "PUT " + quoted(local) + " \"a b.htm\""),
                 qPrintable(quotedNames.LastError()));
        QCOMPARE(readFile(root.filePath("my dir/a b.htm")), QByteArray("spaced"));
        QVERIFY2(run(quotedNames, "PUT " + quoted(local) + R"( "say ""hi"".htm")"),
                 qPrintable(quotedNames.LastError()));
        QCOMPARE(readFile(root.filePath("my dir/say \"hi\".htm")), QByteArray("spaced"));

        // CD takes the rest of the line, blanks around it trimmed.
        Inet bare;
        pointAt(bare, server);
        QVERIFY2(run(bare, "CD  other dir/inner "), qPrintable(bare.LastError()));
        QVERIFY2(run(bare, "PUT " + quoted(local) + " x.htm"), qPrintable(bare.LastError()));
        QCOMPARE(readFile(root.filePath("other dir/inner/x.htm")), QByteArray("spaced"));
    }

    void absoluteAndRelativeDirectories() {
        FtpServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QDir root(server.root());
        QVERIFY(root.mkpath("www/deep") && root.mkpath("other"));
        const QString local = m_local.filePath("p.htm");
        QVERIFY(writeFile(local, "p"));

        Inet inet;
        pointAt(inet, server);
        QSignalSpy finished(&inet, &Inet::CommandFinished);
        // Started back to back, they run in turn and stay "executing" until the last ends.
        inet.Execute("CD other");
        inet.Execute("CD /www/deep");
        inet.Execute("PUT " + local + " deep.htm");
        QVERIFY(waitLikeTheJob(inet));
        QCOMPARE(finished.count(), 3);
        QVERIFY2(inet.LastSucceeded(), qPrintable(inet.LastError()));
        QVERIFY(QFile::exists(root.filePath("www/deep/deep.htm")));

        QVERIFY2(run(inet, "CD .."), qPrintable(inet.LastError()));
        QVERIFY2(run(inet, "PUT " + local + " up.htm"), qPrintable(inet.LastError()));
        QVERIFY(QFile::exists(root.filePath("www/up.htm")));
        QVERIFY2(run(inet, "CD /"), qPrintable(inet.LastError()));
        QVERIFY2(run(inet, "PUT " + local + " other/top.htm"), qPrintable(inet.LastError()));
        QVERIFY(QFile::exists(root.filePath("other/top.htm")));
        QCOMPARE(server.loginCount(), 1);
    }

    void wrongPasswordIsReported() {
        FtpServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QVERIFY(QDir(server.root()).mkdir("www"));
        const QString local = m_local.filePath("p.htm");
        QVERIFY(writeFile(local, "p"));

        Inet inet;
        pointAt(inet, server);
        inet.setPassword("Wrong-Guess-17");
        QVERIFY(!run(inet, "CD www"));
        QVERIFY2(inet.LastError().startsWith("Login denied (530"), qPrintable(inet.LastError()));
        QVERIFY(!inet.LastError().contains("Wrong-Guess-17"));
        QVERIFY(!run(inet, "PUT " + local + " p.htm"));
        QVERIFY2(inet.LastError().startsWith("Login denied (530"), qPrintable(inet.LastError()));
        QVERIFY(!server.log().contains(QStringLiteral("LOGIN %1").arg(server.user())));
        QVERIFY(server.log().contains(QStringLiteral("LOGIN-FAILED %1").arg(server.user())));
        QCOMPARE(QDir(server.root()).entryList(QDir::Files | QDir::Hidden), QStringList{});

        // A server that repeats the password it refuses: masked however short it is.
        FtpServer echoing;
        QVERIFY2(echoing.start({.echoPassword = true}), qPrintable(echoing.errorString()));
        for (const QString guess : {"Wrong-Guess-17", "7", "ab", "p;w"}) {
            Inet told;
            pointAt(told, echoing);
            told.setPassword(guess);
            QVERIFY(!run(told, "CD www"));
            QCOMPARE(told.LastError(),
                     QString(R"(Login denied (530 Password "******" is wrong.); the user name and )"
                             R"(password were sent)"));
        }

        // An SSH server that takes keys only never hears the password.
        if (!SshdServer::unavailable().isEmpty())
            return;
        SshdServer keysOnly;
        QVERIFY2(keysOnly.start({.keysOnly = true}), qPrintable(keysOnly.errorString()));
        const QString knownHosts = m_local.filePath("keys_only_known_hosts");
        QVERIFY(writeFile(knownHosts, keysOnly.knownHostsLine(SshdServer::Ed25519).toUtf8()));
        Inet ssh;
        ssh.setURL(keysOnly.site());
        ssh.setUserName(keysOnly.user());
        ssh.setPassword(keysOnly.password());
        ssh.setKnownHostsFile(knownHosts);
        QVERIFY(!run(ssh, "CD ."));
        QCOMPARE(ssh.LastError(), QStringLiteral("Login denied: 127.0.0.1:%1 takes no password (it "
                                                 "offers publickey), so the password was not sent")
                                      .arg(keysOnly.port()));
    }

    void closedPortIsReported() {
        quint16 port;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        Inet inet;
        inet.setURL(QStringLiteral("ftp://127.0.0.1:%1").arg(port));
        inet.setUserName("someone");
        inet.setPassword("Secret-Pw");
        QVERIFY(!run(inet, "CD www"));
        QVERIFY2(inet.LastError().startsWith(
                     QStringLiteral("Could not connect to 127.0.0.1:%1 (").arg(port)),
                 qPrintable(inet.LastError()));
    }

    void missingDirectoryFailsAndUploadsNothing() {
        FtpServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QDir root(server.root());
        QVERIFY(root.mkdir("www"));

        Inet inet;
        pointAt(inet, server);
        QVERIFY(!run(inet, "CD not here"));
        QVERIFY2(inet.LastError().startsWith("Could not change to directory \"not here\" (550"),
                 qPrintable(inet.LastError()));
        // The failed change left the directory where it was.
        QVERIFY2(run(inet, "CD www"), qPrintable(inet.LastError()));
        QVERIFY(!server.commands().join('\n').contains("STOR"));
        QCOMPARE(root.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"www"});
        QCOMPARE(QDir(root.filePath("www"))
                     .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 true);
    }

    void silentOrSlowServersTimeOut() {
        FtpServer silent;
        QVERIFY2(silent.start({.silent = true}), qPrintable(silent.errorString()));
        Inet inet;
        pointAt(inet, silent);
        inet.setRequestTimeout(1s);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!run(inet, "CD www"));
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(inet.LastError().startsWith(
                     QStringLiteral("No answer from 127.0.0.1:%1 within 1 s").arg(silent.port())),
                 qPrintable(inet.LastError()));
        QCOMPARE(silent.connectionCount(), 1);

        // Answers that come, only later than the time-out allows.
        FtpServer late;
        QVERIFY2(late.start({.replyDelay = 2500ms}), qPrintable(late.errorString()));
        Inet impatient;
        pointAt(impatient, late);
        impatient.setRequestTimeout(1s);
        QVERIFY(!run(impatient, "CD www"));
        QVERIFY2(impatient.LastError().startsWith("No answer from"),
                 qPrintable(impatient.LastError()));

        // An upload the server stops taking in, without a word.
        FtpServer stalling;
        QVERIFY2(stalling.start({.stallUploadsAfter = 64 * 1024}),
                 qPrintable(stalling.errorString()));
        QVERIFY(writeFile(stalling.root() + "/index.htm", "old page"));
        const QString big = m_local.filePath("stalled.htm");
        QVERIFY(writeFile(big, samplePage(24 * 1024 * 1024)));
        Inet stalled;
        pointAt(stalled, stalling);
        stalled.setRequestTimeout(1s);
        QVERIFY(!run(stalled, "PUT " + big + " index.htm"));
        QCOMPARE(stalled.LastError(),
                 QString("Could not upload \"index.htm\": the server took in nothing more of it "
                         "for 1 s"));
        QCOMPARE(readFile(stalling.root() + "/index.htm"), QByteArray("old page"));

        // However lively the server, the whole upload has a limit of its own, far inside the
        // time-out of each answer here: cut there, it leaves the page as it was and takes its
        // part-file away.
        FtpServer stuck;
        QVERIFY2(stuck.start({.stallUploadsAfter = 64 * 1024}), qPrintable(stuck.errorString()));
        QVERIFY(writeFile(stuck.root() + "/index.htm", "old page"));
        Inet bounded;
        pointAt(bounded, stuck);
        bounded.setOverallTimeout(1500ms);
        QVERIFY(!run(bounded, "PUT " + big + " index.htm"));
        QCOMPARE(bounded.LastError(), QString("Could not upload \"index.htm\": the upload took "
                                              "longer than the 1.5 s it may take"));
        QCOMPARE(QDir(stuck.root()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"index.htm"});
        QCOMPARE(readFile(stuck.root() + "/index.htm"), QByteArray("old page"));

        // Slow answers within the time-out are fine.
        FtpServer slow;
        QVERIFY2(slow.start({.replyDelay = 150ms}), qPrintable(slow.errorString()));
        QVERIFY(QDir(slow.root()).mkdir("www"));
        const QString local = m_local.filePath("slow.htm");
        QVERIFY(writeFile(local, samplePage()));
        Inet patient;
        pointAt(patient, slow);
        patient.setRequestTimeout(3s);
        QVERIFY2(run(patient, "CD www"), qPrintable(patient.LastError()));
        QVERIFY2(run(patient, "PUT " + local + " slow.htm"), qPrintable(patient.LastError()));
        QCOMPARE(readFile(slow.root() + "/www/slow.htm"), samplePage());
    }

    // A site's name that no name server answers for (a network that is half up): the system's
    // look-up would wait out the resolver's own half minute; Cancel ends it at once, and the
    // upload's limit in its time.
    void hostLookupsNoOneAnswersEnd_data() {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<bool>("cancelled"); // else out of time
        QTest::newRow("SFTP, cancelled") << "sftp" << true;
        QTest::newRow("SFTP, out of time") << "sftp" << false;
        QTest::newRow("FTP, cancelled") << "ftp" << true;
    }
    void hostLookupsNoOneAnswersEnd() {
        if (RanInOwnNetwork())
            return;
        QFETCH(QString, scheme);
        QFETCH(bool, cancelled);
        // A name server of its own on the loopback, in a view of the files of its own, that
        // hears the questions and never answers.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            QSKIP("no mount namespace can be made here");
        const int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const auto closeDns = qScopeGuard([dns] { close(dns); });
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(53);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(dns, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            QSKIP("port 53 cannot be had here");
        const QString resolv = m_local.filePath("resolv.conf");
        QVERIFY(writeFile(resolv, "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n"));
        if (mount(QFile::encodeName(resolv).constData(), "/etc/resolv.conf", nullptr, MS_BIND,
                  nullptr) != 0)
            QSKIP("the resolver's settings cannot be replaced here");

        const QString local = m_local.filePath("unanswered.htm");
        QVERIFY(writeFile(local, "new page"));
        Inet inet;
        inet.setURL(scheme + "://unanswered.example.org/");
        inet.setUserName("vantrell");
        inet.setPassword("secret");
        inet.setOverallTimeout(cancelled ? 10min : 1500ms);
        QSignalSpy finished(&inet, &Inet::CommandFinished);
        inet.Execute("PUT " + local + " index.htm");
        pollfd asked{dns, POLLIN, 0};
        QCOMPARE(poll(&asked, 1, 10000), 1);
        if (cancelled) {
            QElapsedTimer cancelling;
            cancelling.start();
            inet.Cancel();
            QVERIFY2(cancelling.elapsed() < 1500,
                     qPrintable(QString::number(cancelling.elapsed())));
            QCOMPARE(inet.CancelledDuring(), std::optional(Inet::Stage::Connecting));
        } else {
            QVERIFY(waitLikeTheJob(inet, 10s));
            QCOMPARE(inet.LastError(), QString("Could not upload \"index.htm\": the upload took "
                                               "longer than the 1.5 s it may take"));
        }
        QCOMPARE(finished.count(), 1);
    }

    // A server that reads slowly but steadily, behind the system's buffers (megabytes of them
    // on a fast link): the progress shown is what the server has taken in, "Replacing the
    // page" comes once the whole page has arrived, and the upload is not cut for a stall while
    // the server still reads. Before, progress counted what curl had written, the page was
    // "replaced" while the server had a part of it, and curl's limit counted full buffers as a
    // stall.
    void progressFollowsTheServer() {
        FtpServer slow;
        QVERIFY2(slow.start({.steadyRate = 512 * 1024}), qPrintable(slow.errorString()));
        QVERIFY(writeFile(slow.root() + "/index.htm", "old page"));
        const QByteArray page = samplePage(4 * 1024 * 1024);
        const QString local = m_local.filePath("slow.htm");
        QVERIFY(writeFile(local, page));
        Inet inet;
        pointAt(inet, slow);
        // Far shorter than the time the server needs to read what the system buffers take in.
        inet.setRequestTimeout(2s);
        QString behind; // a moment when the line said more than the server had
        bool replacedEarly = false;
        int lastPercent = 0;
        connect(&inet, &Inet::Progress, this, [&](Inet::Stage stage, int percent) {
            const QStringList parts =
                QDir(slow.root()).entryList({"*.part"}, QDir::Files | QDir::Hidden);
            // Renamed onto the page between the listing and the look at its size, it is whole.
            const QFileInfo part(parts.isEmpty() ? QString() : slow.root() + '/' + parts.first());
            const qint64 arrived = part.exists() ? part.size() : qint64(page.size());
            if (stage == Inet::Stage::Replacing)
                replacedEarly = replacedEarly || arrived < page.size();
            if (stage == Inet::Stage::Uploading &&
                qint64(percent) * page.size() / 100 > arrived + 512 * 1024)
                behind = QStringLiteral("%1 % said, %2 bytes arrived").arg(percent).arg(arrived);
            lastPercent = stage == Inet::Stage::Uploading ? percent : lastPercent;
        });
        QVERIFY2(run(inet, "PUT " + local + " index.htm"), qPrintable(inet.LastError()));
        QCOMPARE(readFile(slow.root() + "/index.htm"), page);
        QVERIFY2(behind.isEmpty(), qPrintable(behind));
        QVERIFY(!replacedEarly);
        QVERIFY(lastPercent > 50);
    }

    // Cancelled while the page goes up, the upload says so, and the next run takes away the
    // part of it the server holds (before, it waited an hour for that).
    void cancelSaysWhereItStoppedAndLeavesNothing() {
        FtpServer server;
        QVERIFY2(server.start({.steadyRate = 256 * 1024}), qPrintable(server.errorString()));
        QVERIFY(writeFile(server.root() + "/index.htm", "old page"));
        const QString local = m_local.filePath("cancelled.htm");
        QVERIFY(writeFile(local, samplePage(4 * 1024 * 1024)));
        Inet inet;
        pointAt(inet, server);
        inet.Execute("PUT " + local + " index.htm");
        QTRY_VERIFY_WITH_TIMEOUT(!server.commands().filter(QRegularExpression("^STOR ")).isEmpty(),
                                 10000);
        inet.Cancel();
        QCOMPARE(inet.CancelledDuring(), std::optional(Inet::Stage::Uploading));
        QCOMPARE(readFile(server.root() + "/index.htm"), QByteArray("old page"));
        QTRY_COMPARE_WITH_TIMEOUT(
            QDir(server.root()).entryList({"*.part"}, QDir::Files | QDir::Hidden).size(), 1, 10000);

        QVERIFY(writeFile(local, "new page"));
        QVERIFY2(run(inet, "PUT " + local + " index.htm"), qPrintable(inet.LastError()));
        QCOMPARE(QDir(server.root()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"index.htm"});
        inet.Cancel();
        QCOMPARE(inet.CancelledDuring(), std::nullopt);
    }

    void lineBreaksNeverReachTheServer() {
        FtpServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QDir root(server.root());
        QVERIFY(root.mkdir("www"));
        QVERIFY(writeFile(root.filePath("www/index.htm"), "old page"));
        const QString local = m_local.filePath("p.htm");
        QVERIFY(writeFile(local, "p"));
        const QString inject = QStringLiteral("\r\nDELE www/index.htm");
        const QString nul = QString(QChar(u'\0')) + "DELE www/index.htm";

        struct Case {
            const char* name;
            QString url, user, password, operation;
        };
        const QString url = server.url(), user = server.user(), pw = server.password();
        const Case cases[] = {
            {"directory", url, user, pw, "CD www" + inject},
            {"directory LF", url, user, pw, "CD www\nDELE www/index.htm"},
            {"quoted directory", url, user, pw, "CD \"www" + inject + "\""},
            {"remote name", url, user, pw, "PUT " + local + " \"x.htm" + inject + "\""},
            {"remote NUL", url, user, pw, "PUT " + local + " \"x.htm" + nul + "\""},
            {"local name", url, user, pw, "PUT \"" + local + inject + "\" x.htm"},
            {"user", url, user + inject, pw, "CD www"},
            {"password", url, user, pw + inject, "CD www"},
            {"site", url + inject, user, pw, "CD www"},
        };
        for (const Case& c : cases) {
            Inet inet;
            inet.setURL(c.url);
            inet.setUserName(c.user);
            inet.setPassword(c.password);
            QVERIFY2(!run(inet, c.operation), c.name);
            QVERIFY2(inet.LastError().contains("line break or NUL"),
                     qPrintable(QString(c.name) + ": " + inet.LastError()));
            QVERIFY2(!inet.LastError().contains(pw), c.name);
        }
        QCOMPARE(server.log(), QStringList{});
        QCOMPARE(readFile(root.filePath("www/index.htm")), QByteArray("old page"));

        // The server's log does show a connection that happens.
        Inet good;
        pointAt(good, server);
        QVERIFY2(run(good, "CD www"), qPrintable(good.LastError()));
        QCOMPARE(server.connectionCount(), 1);
        QVERIFY(!server.commands().join('\n').contains("DELE"));
    }

    void malformedCommandsAreRefused() {
        FtpServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QString local = m_local.filePath("p.htm");
        QVERIFY(writeFile(local, "p"));
        const struct {
            QString operation;
            QString reason;
        } cases[] = {
            {"", "No command"},
            {"LIST", "Unknown command \"LIST\""},
            {"CD", "CD needs a directory"},
            {"CD \"www", "unmatched quote"},
            {"PUT " + local, "PUT needs a local file and a remote name"},
            {"PUT " + local + " a b.htm", "PUT needs a local file and a remote name"},
            {"PUT " + local + " www/", "names no file"},
            {"PUT " + m_local.filePath("missing.htm") + " x.htm", "Could not read the local"},
        };
        for (const auto& c : cases) {
            Inet inet;
            pointAt(inet, server);
            QVERIFY2(!run(inet, c.operation), qPrintable(c.operation));
            QVERIFY2(inet.LastError().contains(c.reason),
                     qPrintable(c.operation + " -> " + inet.LastError()));
        }
        QCOMPARE(server.commands().filter("STOR"), QStringList{});
    }

    void replacesPageHoweverTheServerRenames_data() {
        QTest::addColumn<FtpServer::Options>("server");
        QTest::addColumn<QString>("failure"); // empty: the new page is in place
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("direct"); // the page went up straight under its own name

        const QString unchanged =
            R"(Could not rename the uploaded page to "index.htm" (%1); the page on the server is )"
            "unchanged";
        QTest::newRow("renames onto the page") << FtpServer::Options{} << QString() << 1 << false;
        // What the server says before anyone asks is not about the page.
        QTest::newRow("a mode in the greeting")
            << FtpServer::Options{.greeting = "Vantrell test server, with facts of its own:\r\n"
                                              " type=file;unix.mode=0777; index.htm"}
            << QString() << 1 << false;
        QTest::newRow("not onto a taken name")
            << FtpServer::Options{.refuseRenameOntoExisting = true} << QString() << 1 << false;
        // The old page, moved aside, stays: the server lets nothing be deleted.
        QTest::newRow("not onto a taken name, no deleting")
            << FtpServer::Options{.permissions = "elrafmwMT", .refuseRenameOntoExisting = true}
            << QString() << 2 << false;
        QTest::newRow("page name barred for renames")
            << FtpServer::Options{.refuseRenameTo = "index.htm"} << QString() << 1 << true;
        // Under 400, curl takes it for success; only 2xx is one.
        QTest::newRow("page name barred, with a reply of 350")
            << FtpServer::Options{.refuseRenameTo = "index.htm", .renameRefusal = "350 Pending."}
            << QString() << 1 << true;
        QTest::newRow("page busy") << FtpServer::Options{.refuseRenameFrom = "index.htm",
                                                         .refuseRenameTo = "index.htm",
                                                         .renameRefusal = "450 File busy."}
                                   << unchanged.arg("450 File busy.") << 1 << false;
        QTest::newRow("new page busy")
            << FtpServer::Options{.refuseRenameFrom = ".index.htm.*.part",
                                  .renameRefusal = "450 File busy."}
            << unchanged.arg("450 File busy.") << 1 << false;
        QTest::newRow("no renaming")
            << FtpServer::Options{.permissions = "elradwMT"} << QString() << 1 << true;
        // Under a visible temporary name: never straight onto the live page.
        QTest::newRow("no dot files")
            << FtpServer::Options{.refuseDotFiles = true} << QString() << 1 << false;
        // A folder the login cannot write into, where the page can be overwritten: before, the
        // success said nothing of it.
        QTest::newRow("no new files")
            << FtpServer::Options{.refuseNewFiles = true} << QString() << 1 << true;
    }

    void replacesPageHoweverTheServerRenames() {
        QFETCH(FtpServer::Options, server);
        QFETCH(QString, failure);
        QFETCH(int, files);
        QFETCH(bool, direct);
        server.umask = "077"; // new files readable by their owner only
        FtpServer ftp;
        QVERIFY2(ftp.start(server), qPrintable(ftp.errorString()));
        const QDir www(ftp.root() + "/www");
        QVERIFY(QDir(ftp.root()).mkdir("www"));
        const QString live = www.filePath("index.htm");
        QVERIFY(writeFile(live, "old page"));
        const auto readableByAll =
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        QVERIFY(QFile::setPermissions(live, readableByAll));
        const QString local = m_local.filePath("index.htm");
        QVERIFY(writeFile(local, samplePage()));

        Inet inet;
        pointAt(inet, ftp);
        // Logs in as it looks for the page's mode, so the greeting comes with the answer.
        const bool replaced = run(inet, "PUT " + local + " www/index.htm");
        QCOMPARE(inet.LastError(), failure);
        QCOMPARE(replaced, failure.isEmpty());
        QCOMPARE(readFile(live), replaced ? samplePage() : QByteArray("old page"));
        // The web server can still read it.
        QCOMPARE(QFile::permissions(live) & ~(QFile::ReadUser | QFile::WriteUser), readableByAll);
        QCOMPARE(www.entryList(QDir::Files | QDir::Hidden).size(), files);
        QVERIFY(!ftp.commands().contains("DELE index.htm"));
        QCOMPARE(ftp.commands().contains("STOR index.htm"), direct);
        // Every plain upload says so with its success.
        QVERIFY2(inet.LastNote().startsWith("The page was overwritten in place, without the safe "
                                            "replace, as the server ") == direct,
                 qPrintable(inet.LastNote()));
        QCOMPARE(ftp.loginCount(), 1);
    }

    // What stands under the page's name and beside it: "dir NAME", "link NAME TARGET" or
    // "file NAME CONTENT" in www, {old} an upload's start long ago, {now} one just now.
    void onlyPlainFilesAreReplacedAndLeftoversGo_data() {
        QTest::addColumn<FtpServer::Options>("server");
        QTest::addColumn<QStringList>("plant");
        QTest::addColumn<QString>("failure"); // how the error starts; empty: published
        QTest::addColumn<QString>("note");
        QTest::addColumn<QStringList>("kept"); // what www holds afterwards

        const QString folder = R"("index.htm" is a folder on the server)";
        const QStringList inFolder{"dir index.htm", "file index.htm/inside.htm x"};
        QTest::newRow("folder") << FtpServer::Options{} << inFolder << folder << QString()
                                << QStringList{"index.htm"};
        QTest::newRow("folder, server without MLST")
            << FtpServer::Options{.withoutMlst = true} << inFolder << folder << QString()
            << QStringList{"index.htm"};
        QTest::newRow("link to a folder")
            << FtpServer::Options{} << QStringList{"dir real", "link index.htm real"} << folder
            << QString() << QStringList{"index.htm", "real"};
        const QString stale = ".index.htm.vantrell-{old}-0000000%1.%2";
        const QString running = ".index.htm.vantrell-{now}-00000003.part";
        const QString otherPage = ".other.htm.vantrell-{old}-00000004.part";
        QTest::newRow("leftovers of cut runs")
            << FtpServer::Options{}
            << QStringList{"file index.htm old page", "file " + stale.arg(1).arg("part") + " x",
                           "file " + stale.arg(2).arg("old") + " x", "file " + running + " x",
                           "file " + otherPage + " x"}
            << QString() << QString() << QStringList{running, otherPage, "index.htm"};
        // The new page never arrives; the old one is back all the same.
        QTest::newRow("cut between moving aside and renaming in")
            << FtpServer::Options{.dropUploadsAfter = 64 * 1024}
            << QStringList{"file " + stale.arg(5).arg("old") + " old page"} << "Could not upload"
            << QString() << QStringList{"index.htm"};
        // Before, it took the missing page's place.
        QTest::newRow("a folder named like a moved-aside copy")
            << FtpServer::Options{} << QStringList{"dir " + stale.arg(6).arg("old")} << QString()
            << QString() << QStringList{stale.arg(6).arg("old"), "index.htm"};
        QTest::newRow("no deleting")
            << FtpServer::Options{.permissions = "elrafmwMT"}
            << QStringList{"file index.htm old page", "file " + stale.arg(1).arg("part") + " x",
                           "file " + stale.arg(2).arg("old") + " x"}
            << QString() << "2 old copies could not be removed"
            << QStringList{stale.arg(1).arg("part"), stale.arg(2).arg("old"), "index.htm"};
    }

    void onlyPlainFilesAreReplacedAndLeftoversGo() {
        QFETCH(FtpServer::Options, server);
        QFETCH(QStringList, plant);
        QFETCH(QString, failure);
        QFETCH(QString, note);
        QFETCH(QStringList, kept);
        const QString now = QDateTime::currentDateTimeUtc().toString("yyyyMMdd'T'HHmmss'Z'");
        const auto stamped = [&](QString text) {
            return text.replace("{old}", "20200101T000000Z").replace("{now}", now);
        };
        FtpServer ftp;
        QVERIFY2(ftp.start(server), qPrintable(ftp.errorString()));
        const QDir www(ftp.root() + "/www");
        QVERIFY(QDir(ftp.root()).mkdir("www"));
        for (const QString& line : plant) {
            const QStringList part = stamped(line).split(' ');
            if (part[0] == "dir")
                QVERIFY(www.mkdir(part[1]));
            else if (part[0] == "link")
                QVERIFY(QFile::link(part[2], www.filePath(part[1])));
            else
                QVERIFY(writeFile(www.filePath(part[1]), part.mid(2).join(' ').toUtf8()));
        }
        const QString local = m_local.filePath("index.htm");
        QVERIFY(writeFile(local, samplePage()));

        Inet inet;
        pointAt(inet, ftp);
        QVERIFY2(run(inet, "CD www"), qPrintable(inet.LastError()));
        const bool published = run(inet, "PUT " + local + " index.htm");
        QCOMPARE(published, failure.isEmpty());
        QVERIFY2(inet.LastError().startsWith(failure), qPrintable(inet.LastError()));
        QVERIFY2(note.isEmpty() ? inet.LastNote().isEmpty() : inet.LastNote().contains(note),
                 qPrintable(inet.LastNote()));
        QStringList expected;
        for (const QString& name : kept)
            expected << stamped(name);
        QCOMPARE(
            www.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            expected);
        if (plant.first().startsWith("dir index.htm"))
            QCOMPARE(readFile(www.filePath("index.htm/inside.htm")), QByteArray("x"));
        else if (!plant.last().startsWith("link"))
            QCOMPARE(readFile(www.filePath("index.htm")),
                     published ? samplePage() : QByteArray("old page"));
        QVERIFY(!ftp.commands().contains("RNFR index.htm"));
    }

    // Beside thousands of files, STAT of the folder answers with more than curl takes in one
    // reply and every publish failed ("the connection was cut off"): the page is asked about
    // alone, and the folder, where it must be listed, over a data connection.
    void replacesPageBesideThousandsOfFiles_data() {
        QTest::addColumn<bool>("tls");
        QTest::newRow("FTP") << false;
        QTest::newRow("FTPES") << true;
    }

    void replacesPageBesideThousandsOfFiles() {
        QFETCH(bool, tls);
        FtpServer ftp;
        ProftpdServer proftpd;
        QVERIFY2(tls ? proftpd.start() : ftp.start(),
                 qPrintable(tls ? proftpd.errorString() : ftp.errorString()));
        const QDir www((tls ? proftpd.root() : ftp.root()) + "/www");
        QVERIFY(www.mkpath("."));
        for (int i = 0; i < 6000; ++i)
            QVERIFY(writeFile(www.filePath(QStringLiteral("photo-%1.jpg").arg(i)), ""));
        QVERIFY(writeFile(www.filePath("index.htm"), "old page"));
        QVERIFY(QFile::setPermissions(www.filePath("index.htm"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        const QString local = m_local.filePath("index.htm");
        for (const QByteArray& page : {QByteArray("first"), QByteArray("second")}) {
            QVERIFY(writeFile(local, page));
            Inet inet;
            if (tls) {
                inet.setURL(proftpd.site(ProftpdServer::Ftpes));
                inet.setUserName(proftpd.user());
                inet.setPassword(proftpd.password());
                inet.setTrustedCertificate(proftpd.certificateFingerprint());
            } else {
                pointAt(inet, ftp);
            }
            QVERIFY2(run(inet, "CD www"), qPrintable(inet.LastError()));
            QVERIFY2(run(inet, "PUT " + local + " index.htm"), qPrintable(inet.LastError()));
            QCOMPARE(readFile(www.filePath("index.htm")), page);
            QCOMPARE(QFileInfo(www.filePath("index.htm")).permissions() & 0x0777,
                     QFileDevice::Permissions(0x0640));
        }
        QCOMPARE(www.entryList(QDir::Files | QDir::Hidden).size(), 6001);
        if (!tls)
            QVERIFY(!ftp.commands().contains("STAT ."));
    }

    void twoUploadsOfOnePageAtOnce() {
        FtpServer server;
        QVERIFY2(server.start({.readLimit = 256 * 1024}), qPrintable(server.errorString()));
        const QString live = server.root() + "/index.htm";
        QVERIFY(writeFile(live, "old page"));
        const QString slowPage = m_local.filePath("slow.htm");
        QVERIFY(writeFile(slowPage, samplePage(600 * 1024)));
        const QString quickPage = m_local.filePath("quick.htm");
        QVERIFY(writeFile(quickPage, "quick page"));

        // As from two machines: the second upload starts and ends while the server, reading
        // slowly, still takes in the first.
        Inet slow;
        pointAt(slow, server);
        slow.Execute("PUT " + slowPage + " index.htm");
        QTRY_VERIFY_WITH_TIMEOUT(!server.commands().filter(QRegularExpression("^STOR ")).isEmpty(),
                                 10000);
        Inet quick;
        pointAt(quick, server);
        QVERIFY2(run(quick, "PUT " + quickPage + " index.htm"), qPrintable(quick.LastError()));
        QVERIFY(waitLikeTheJob(slow));
        QVERIFY2(slow.LastSucceeded(), qPrintable(slow.LastError()));

        // Whichever came last, the page is one of them, whole.
        const QByteArray published = readFile(live);
        QVERIFY(published == samplePage(600 * 1024) || published == "quick page");
        QCOMPARE(QDir(server.root()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"index.htm"});
    }

    void cutUploadLeavesOldPage() {
        QTemporaryDir shared;
        QVERIFY(QDir(shared.path()).mkdir("www"));
        const QString live = shared.filePath("www/index.htm");
        QVERIFY(writeFile(live, "old page"));
        const QByteArray page = samplePage(4 * 1024 * 1024);
        const QString local = m_local.filePath("index.htm");
        QVERIFY(writeFile(local, page));

        {
            FtpServer dropping;
            QVERIFY2(dropping.start({.root = shared.path(), .dropUploadsAfter = 64 * 1024}),
                     qPrintable(dropping.errorString()));
            Inet inet;
            pointAt(inet, dropping);
            QVERIFY2(run(inet, "CD www"), qPrintable(inet.LastError()));
            QVERIFY(!run(inet, "PUT " + local + " index.htm"));
            QVERIFY2(inet.LastError().startsWith("Could not upload \"index.htm\""),
                     qPrintable(inet.LastError()));
            QCOMPARE(readFile(live), QByteArray("old page"));
            QCOMPARE(dropping.log().filter(QRegularExpression(R"(^INCOMPLETE www/\.index)")).size(),
                     1);
            // What arrived of the new page is gone again.
            QCOMPARE(QDir(shared.filePath("www")).entryList(QDir::Files | QDir::Hidden),
                     QStringList{"index.htm"});
        }

        // The next run over a sound connection replaces the page.
        FtpServer sound;
        QVERIFY2(sound.start({.root = shared.path()}), qPrintable(sound.errorString()));
        Inet inet;
        pointAt(inet, sound);
        QVERIFY2(run(inet, "CD www"), qPrintable(inet.LastError()));
        QVERIFY2(run(inet, "PUT " + local + " index.htm"), qPrintable(inet.LastError()));
        QCOMPARE(readFile(live), page);
        QCOMPARE(QDir(shared.filePath("www")).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"index.htm"});
    }

    void destroyingMidTransferIsQuick() {
        FtpServer server;
        QVERIFY2(server.start({.readLimit = 64 * 1024}), qPrintable(server.errorString()));
        const QString live = server.root() + "/index.htm";
        QVERIFY(writeFile(live, "old page"));
        const QString local = m_local.filePath("big.htm");
        QVERIFY(writeFile(local, samplePage(8 * 1024 * 1024)));

        auto inet = std::make_unique<Inet>();
        pointAt(*inet, server);
        inet->Execute("PUT " + local + " index.htm");
        const QRegularExpression temporary(
            R"(^\.index\.htm\.vantrell-\d{8}T\d{6}Z-[0-9a-f]{8}\.part$)");
        QTRY_VERIFY_WITH_TIMEOUT(!server.commands().filter(QRegularExpression("^STOR ")).isEmpty(),
                                 10000);
        const QString stored = server.commands().filter(QRegularExpression("^STOR ")).first();
        QVERIFY2(temporary.match(stored.mid(5)).hasMatch(), qPrintable(stored));

        QElapsedTimer clock;
        clock.start();
        inet.reset();
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
        QTRY_VERIFY_WITH_TIMEOUT(server.log().contains("INCOMPLETE " + stored.mid(5)), 10000);
        QCOMPARE(readFile(live), QByteArray("old page"));

        // Also while waiting for the server to confirm a page that has arrived whole: curl
        // waits for that reply on its own, for as long as the time-out allows.
        FtpServer mute;
        QVERIFY2(mute.start({.root = server.root(), .withholdTransferReply = true}),
                 qPrintable(mute.errorString()));
        auto waiting = std::make_unique<Inet>();
        pointAt(*waiting, mute);
        waiting->Execute("PUT " + local + " index.htm");
        QTRY_VERIFY_WITH_TIMEOUT(!mute.log().filter(QRegularExpression("^RECEIVED ")).isEmpty(),
                                 10000);
        clock.restart();
        waiting.reset();
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(readFile(live), QByteArray("old page"));
    }

    // known_hosts lines: {host} is "[127.0.0.1]:<port>", {rsa}, {ecdsa} and {ed25519} the
    // server's keys, {other-rsa} and {other-ed25519} keys of another machine.
    void hostKeysAreCheckedLikeOpenSsh_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("file"); // how the file is written: "", "crlf", "hashed", "fifo"
        QTest::addColumn<QString>("outcome"); // "published", or what stopped the login

        QStringList keyscan{"{host} {ecdsa}", "{host} {ed25519}", "{host} {rsa}"};
        do {
            QTest::addRow("ssh-keyscan, %s first, %s last",
                          qPrintable(keyscan.first().section(' ', 1)),
                          qPrintable(keyscan.last().section(' ', 1)))
                << keyscan << ""
                << "published";
        } while (std::next_permutation(keyscan.begin(), keyscan.end()));
        QTest::newRow("stale ssh-rsa first")
            << QStringList{"{host} {other-rsa}", "{host} {ed25519}"} << ""
            << "published";
        QTest::newRow("ed25519 added by hand") << QStringList{"{host} {ed25519}"} << ""
                                               << "published";
        QTest::newRow("ecdsa only") << QStringList{"{host} {ecdsa}"} << ""
                                    << "published";
        QTest::newRow("hashed") << keyscan << "hashed"
                                << "published";
        QTest::newRow("CR LF") << keyscan << "crlf"
                               << "published";
        QTest::newRow("long line first")
            << QStringList{"# " + QString(9000, u'x'),
                           QStringList(900, "elsewhere.example").join(',') + " {other-ed25519}",
                           "{host} {ed25519}"}
            << ""
            << "published";
        QTest::newRow("patterns, comments, blank lines")
            << QStringList{"", "  # a comment", "\t",
                           "elsewhere,[127.0.0.?]:*,!10.0.0.1 {ed25519} me@there"}
            << ""
            << "published";
        QTest::newRow("another key of the same type")
            << QStringList{"{host} {other-ed25519}", "{host} {other-rsa}"} << ""
            << "changed";
        // As ssh reads it, and the message says why.
        QTest::newRow("not on this port")
            << QStringList{"127.0.0.1 {ed25519}"} << ""
            << "new: known_hosts names 127.0.0.1 without a port, which stands for port 22 alone";
        // ssh asks for the RSA key first and gets it; this SSH library can check an RSA key
        // only with SHA-1 signatures, which this server refuses: the key it shows next is new.
        QTest::newRow("RSA only") << QStringList{"{host} {rsa}"} << ""
                                  << "new";
        QTest::newRow("negated") << QStringList{"*,![127.0.0.1]:* {ed25519}"} << ""
                                 << "new";
        QTest::newRow("certificate authority only")
            << QStringList{"@cert-authority * {ed25519}"} << ""
            << "new";
        QTest::newRow("revoked beside the same key")
            << QStringList{"{host} {ed25519}", "{host} {ecdsa}", "@revoked * {ed25519}",
                           "@revoked * {ecdsa}"}
            << ""
            << "revoked";
        QTest::newRow("revoked only")
            << QStringList{"@revoked {host} {rsa}", "@revoked * {ecdsa}", "@revoked * {ed25519}"}
            << ""
            << "revoked";
        QTest::newRow("pipe") << keyscan << "fifo"
                              << "not an ordinary file";
    }

    void hostKeysAreCheckedLikeOpenSsh() {
        QFETCH(QStringList, lines);
        QFETCH(QString, file);
        QFETCH(QString, outcome);
        if (const QString why = SshdServer::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (!m_sshd) {
            m_sshd = std::make_unique<SshdServer>();
            QVERIFY2(m_sshd->start(), qPrintable(m_sshd->errorString()));
            for (const char* type : {"rsa", "ed25519"}) {
                const QString key = m_local.filePath(QStringLiteral("other_%1").arg(type));
                QProcess keygen;
                keygen.start("ssh-keygen", {"-q", "-t", type, "-N", "", "-C", "", "-f", key});
                QVERIFY(keygen.waitForFinished(60000) && keygen.exitCode() == 0);
            }
        }
        SshdServer& server = *m_sshd;
        const QString knownHosts = m_local.filePath("known_hosts");
        QFile::remove(knownHosts);
        QByteArray text;
        for (QString line : lines) {
            line.replace("{host}", QStringLiteral("[127.0.0.1]:%1").arg(server.port()));
            const char* tokens[] = {"{rsa}", "{ecdsa}", "{ed25519}"};
            for (int type : {SshdServer::Rsa, SshdServer::Ecdsa, SshdServer::Ed25519})
                line.replace(tokens[type],
                             server.knownHostsLine(SshdServer::KeyType(type)).section(' ', 1));
            for (const char* other : {"rsa", "ed25519"})
                line.replace(QStringLiteral("{other-%1}").arg(other),
                             QString::fromLatin1(readFile(m_local.filePath(
                                                     QStringLiteral("other_%1.pub").arg(other))))
                                 .trimmed());
            text += line.toUtf8() + (file == "crlf" ? "\r\n" : "\n");
        }
        if (file == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(knownHosts).constData(), 0600), 0);
        else
            QVERIFY(writeFile(knownHosts, text));
        if (file == "hashed") {
            QProcess keygen;
            keygen.start("ssh-keygen", {"-q", "-H", "-f", knownHosts});
            QVERIFY(keygen.waitForFinished(60000) && keygen.exitCode() == 0);
            QVERIFY(!readFile(knownHosts).contains("127.0.0.1"));
        }
        const QByteArray before = file == "fifo" ? QByteArray() : readFile(knownHosts);
        const QString local = m_local.filePath("ssh.htm");
        QVERIFY(writeFile(local, "over ssh"));
        QFile::remove(server.root() + "/ssh.htm");
        const int passwordsBefore = server.log().filter("password for").size();

        Inet inet;
        inet.setURL(server.site());
        inet.setUserName(server.user());
        inet.setPassword(server.password());
        inet.setKnownHostsFile(knownHosts);
        const bool published = run(inet, "PUT " + local + " ssh.htm");
        const platform::TrustProblem problem = inet.LastTrustProblem();
        if (outcome == "published") {
            QVERIFY2(published, qPrintable(inet.LastError()));
            QCOMPARE(readFile(server.root() + "/ssh.htm"), QByteArray("over ssh"));
        } else {
            QVERIFY(!published);
            QVERIFY2(
                inet.LastError().contains(outcome.startsWith("new") ? "is not known" : outcome),
                qPrintable(inet.LastError()));
            QVERIFY2(inet.LastError().contains(outcome.section(": ", 1)),
                     qPrintable(inet.LastError()));
            QVERIFY(!QFile::exists(server.root() + "/ssh.htm"));
            QCOMPARE(server.log().filter("password for").size(), passwordsBefore);
        }
        using Kind = platform::TrustProblem::Kind;
        const Kind expected = outcome.startsWith("new") ? Kind::NewHostKey
                              : outcome == "changed"    ? Kind::ChangedHostKey
                              : outcome == "revoked"    ? Kind::RevokedHostKey
                                                        : Kind::None;
        QCOMPARE(problem.kind, expected);
        if (expected != Kind::None) {
            const QStringList fingerprints{server.fingerprint(SshdServer::Rsa),
                                           server.fingerprint(SshdServer::Ecdsa),
                                           server.fingerprint(SshdServer::Ed25519)};
            QVERIFY2(fingerprints.contains(problem.fingerprint), qPrintable(problem.fingerprint));
        }
        if (file != "fifo")
            QCOMPARE(readFile(knownHosts), before);
    }

    // Over SSH the login goes as OpenSSH's ssh goes: the agent's keys, then the key file named
    // or ~/.ssh/id_ed25519, then the password where the server takes one. Keys: "agent",
    // "default", "named", "locked" are the user's on the server, "stranger" is not; "locked"
    // opens with "open sesame". home: the key put at ~/.ssh/id_ed25519 and its mode. Outcome:
    // "published", or the start of the error ({port} the server's port).
    void logsInWithKeysLikeOpenSsh_data() {
        QTest::addColumn<QStringList>("agentKeys");
        QTest::addColumn<QString>("home");
        QTest::addColumn<int>("homeMode");
        QTest::addColumn<QString>("keyFile");
        QTest::addColumn<QString>("passphrase"); // "ask": the command stops to ask for it
        QTest::addColumn<bool>("password");
        QTest::addColumn<bool>("keysOnly");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<bool>("passwordSent");
        QTest::addColumn<int>("keysOffered");
        const QStringList none;
        QTest::newRow("the agent's key")
            << QStringList{"agent"} << "" << 0600 << ""
            << "" << false << true << true << "published" << false << 1;
        QTest::newRow("a default key file")
            << none << "default" << 0600 << ""
            << "" << false << true << true << "published" << false << 1;
        QTest::newRow("the key file named, not the default one")
            << none << "stranger" << 0600 << "named"
            << "" << false << true << true << "published" << false << 1;
        QTest::newRow("a key file others may read")
            << none << "default" << 0644 << ""
            << "" << false << true << true
            << "Login denied: no key was offered; no password is set; ~/.ssh/id_ed25519 is open "
               "to others (mode 0644), so it was not offered; chmod 600 ~/.ssh/id_ed25519 closes "
               "it"
            << false << 0;
        QTest::newRow("a locked key, nobody to ask")
            << none << "locked" << 0600 << ""
            << "" << false << true << true
            << "Login denied: no key was offered; no password is set; ~/.ssh/id_ed25519 needs "
               "its passphrase, which only the agent can give a run nobody watches: ssh-add "
               "~/.ssh/id_ed25519"
            << false << 0;
        QTest::newRow("a locked key, its passphrase asked for")
            << none << "locked" << 0600 << ""
            << "ask" << false << true << true << "~/.ssh/id_ed25519 needs its passphrase" << false
            << 0;
        QTest::newRow("a locked key, its passphrase given")
            << none << "locked" << 0600 << ""
            << "open sesame" << false << true << true << "published" << false << 1;
        QTest::newRow("a locked key, a wrong passphrase")
            << none << "locked" << 0600 << ""
            << "open says me" << false << true << true
            << "Login denied: no key was offered; no password is set; ~/.ssh/id_ed25519 did not "
               "open with the passphrase given"
            << false << 0;
        QTest::newRow("keys the server refuses")
            << QStringList{"stranger"} << "stranger" << 0600 << ""
            << "" << false << true << true
            << "Login denied: the server refused the key of the agent and ~/.ssh/id_ed25519; no "
               "password is set"
            << false << 2;
        QTest::newRow("a key logs in, the password stays")
            << none << "default" << 0600 << ""
            << "" << true << false << true << "published" << false << 1;
        QTest::newRow("a key refused, then the password")
            << QStringList{"stranger"} << "stranger" << 0600 << ""
            << "" << true << false << true << "published" << true << 2;
        QTest::newRow("an unknown host gets no key")
            << QStringList{"agent"} << "default" << 0600 << ""
            << "" << true << false << false << "The host key of 127.0.0.1:{port} is not known"
            << false << 0;
    }

    void logsInWithKeysLikeOpenSsh() {
        QFETCH(QStringList, agentKeys);
        QFETCH(QString, home);
        QFETCH(int, homeMode);
        QFETCH(QString, keyFile);
        QFETCH(QString, passphrase);
        QFETCH(bool, password);
        QFETCH(bool, keysOnly);
        QFETCH(bool, known);
        QFETCH(QString, outcome);
        QFETCH(bool, passwordSent);
        QFETCH(int, keysOffered);
        if (const QString why = SshdServer::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        const QDir keys(m_local.filePath("keys"));
        if (!keys.exists()) {
            QVERIFY(keys.mkpath("."));
            QStringList authorized;
            for (const char* name : {"agent", "default", "named", "stranger", "locked"}) {
                const QString line = MakeKeyPair(keys.filePath(name),
                                                 QString(name) == "locked" ? "open sesame" : "");
                QVERIFY2(!line.isEmpty(), name);
                if (QString(name) != "stranger")
                    authorized << line;
            }
            for (bool only : {true, false}) {
                auto& server = only ? m_keysSshd : m_keysAndPasswordSshd;
                server = std::make_unique<SshdServer>();
                QVERIFY2(server->start({.keysOnly = only, .authorizedKeys = authorized}),
                         qPrintable(server->errorString()));
            }
        }
        SshdServer& server = keysOnly ? *m_keysSshd : *m_keysAndPasswordSshd;
        const QString ssh = QDir::home().filePath(".ssh");
        QVERIFY(QDir(ssh).removeRecursively() && QDir().mkpath(ssh));
        const QString idFile = ssh + "/id_ed25519";
        if (!home.isEmpty()) {
            QVERIFY(QFile::copy(keys.filePath(home), idFile));
            QCOMPARE(::chmod(QFile::encodeName(idFile).constData(), mode_t(homeMode)), 0);
        }
        SshAgent agent;
        if (!agentKeys.isEmpty()) {
            QVERIFY2(agent.start(), qPrintable(agent.errorString()));
            for (const QString& key : agentKeys)
                QVERIFY2(agent.add(keys.filePath(key)), qPrintable(agent.errorString()));
            qputenv("SSH_AUTH_SOCK", QFile::encodeName(agent.socket()));
        }
        const struct Restore {
            ~Restore() { qunsetenv("SSH_AUTH_SOCK"); }
        } restore;
        const int agentAskedBefore = agentKeys.isEmpty() ? 0 : agent.connections();
        const QString knownHosts = m_local.filePath("keys_known_hosts");
        QVERIFY(writeFile(knownHosts,
                          known ? server.knownHostsLine(SshdServer::Ed25519).toUtf8() + '\n' : ""));
        const QString local = m_local.filePath("keyed.htm");
        QVERIFY(writeFile(local, "by key"));
        QFile::remove(server.root() + "/keyed.htm");
        const int offeredBefore = int(server.keysOffered().size());
        const bool passwordBefore = server.sawPassword();

        Inet inet;
        inet.setURL(server.site());
        inet.setUserName(server.user());
        inet.setPassword(password ? server.password() : QString());
        inet.setKnownHostsFile(knownHosts);
        if (!keyFile.isEmpty())
            inet.setKeyFile(keys.filePath(keyFile));
        inet.setAskForPassphrase(passphrase == "ask");
        if (!passphrase.isEmpty() && passphrase != "ask")
            inet.setKeyPassphrase(idFile, passphrase);
        const bool published = run(inet, "PUT " + local + " keyed.htm");
        if (outcome == "published") {
            QVERIFY2(published, qPrintable(inet.LastError()));
            QCOMPARE(readFile(server.root() + "/keyed.htm"), QByteArray("by key"));
        } else {
            QVERIFY(!published);
            QVERIFY2(inet.LastError().startsWith(
                         QString(outcome).replace("{port}", QString::number(server.port()))),
                     qPrintable(inet.LastError()));
            QVERIFY(!QFile::exists(server.root() + "/keyed.htm"));
        }
        QCOMPARE(inet.LastPassphraseWanted(), passphrase == "ask" ? idFile : QString());
        QCOMPARE(server.sawPassword() && !passwordBefore, passwordSent);
        // One connection, one login: each key is offered once.
        QCOMPARE(int(server.keysOffered().size()) - offeredBefore, keysOffered);
        if (!known && !agentKeys.isEmpty())
            QCOMPARE(agent.connections(), agentAskedBefore);
        QVERIFY(QDir(ssh).removeRecursively());
    }

    // What a server says instead of the SSH greeting, or to turn a connection away, is what the
    // message says, within seconds, and as text; before, a line other than a greeting that kept
    // the connection open (or closed it) held the run up for good.
    void serverWordsInsteadOfAGreeting_data() {
        QTest::addColumn<QByteArray>("words");
        QTest::addColumn<bool>("hangUp");
        QTest::addColumn<QString>("said");
        QTest::newRow("too many unauthenticated connections")
            << QByteArray("Exceeded MaxStartups\r\n") << true
            << "closed the connection without an SSH greeting (as a busy server does); it said: "
               "Exceeded MaxStartups";
        QTest::newRow("a line, then silence")
            << QByteArray("Exceeded MaxStartups\r\n") << false
            << "no SSH greeting from 127.0.0.1:{port} within 5 seconds; it said: Exceeded "
               "MaxStartups";
        QTest::newRow("an FTP server")
            << QByteArray("220 ready\r\n") << false << "is it an FTP server? It said: 220 ready";
        QTest::newRow("turned away")
            << turnedAway("Maximum connections for host/user reached") << true
            << "turned the connection away, as a server does that takes no more connections from "
               "here at once: Maximum connections for host/user reached";
        QTest::newRow("control characters")
            << QByteArray("\x1b]0;owned\x07\x1b[2J\r\n") << true << "it said: ?]0;owned??[2J";
        QTest::newRow("silence") << QByteArray() << false
                                 << "no SSH greeting from 127.0.0.1:{port} within 5 seconds, is it "
                                    "an SSH server?";
    }

    void serverWordsInsteadOfAGreeting() {
        QFETCH(QByteArray, words);
        QFETCH(bool, hangUp);
        QFETCH(QString, said);
        const WordsServer server(words, hangUp);
        const QString local = m_local.filePath("words.htm");
        QVERIFY(writeFile(local, "page"));
        Inet inet;
        inet.setURL(server.site());
        inet.setUserName("vantrell");
        inet.setPassword("secret");
        inet.setKnownHostsFile(m_local.filePath("known_hosts_words"));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!run(inet, "PUT " + local + " words.htm"));
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        said.replace("{port}", server.site().section(':', 2));
        QVERIFY2(inet.LastError().contains(said), qPrintable(inet.LastError()));
        for (const QChar c : inet.LastError())
            QVERIFY2(c.unicode() >= 0x20, qPrintable(inet.LastError()));
    }

    // Over SFTP too, a server that stops taking the page mid-upload (its session frozen) holds
    // nothing up: Cancel ends the command at once, the request limit calls it a stall, the
    // upload's own limit calls it out of time; the old page stays in every case.
    void sftpUploadsEndWhateverTheServerDoes_data() {
        QTest::addColumn<QString>("end"); // "cancel", "stall" or "out of time"
        QTest::addColumn<QString>("said");
        QTest::newRow("cancelled") << "cancel" << QString();
        QTest::newRow("the server stops taking it")
            << "stall"
            << "the server took in nothing more of it for 2 s";
        QTest::newRow("the upload's own limit")
            << "out of time"
            << "the upload took longer than the 3 s it may take";
    }

    void sftpUploadsEndWhateverTheServerDoes() {
        QFETCH(QString, end);
        QFETCH(QString, said);
        if (const QString why = SshdServer::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        SshdServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QString live = server.root() + "/index.htm";
        QVERIFY(writeFile(live, "old page"));
        QVERIFY(server.handOver(live));
        const QString knownHosts = m_local.filePath("frozen_known_hosts");
        QVERIFY(writeFile(knownHosts, server.knownHostsLine(SshdServer::Ed25519).toUtf8()));
        const QString local = m_local.filePath("frozen.htm");
        QVERIFY(writeFile(local, samplePage(64 * 1024 * 1024)));
        Inet inet;
        inet.setURL(server.site());
        inet.setUserName(server.user());
        inet.setPassword(server.password());
        inet.setKnownHostsFile(knownHosts);
        inet.setRequestTimeout(end == "stall" ? 2s : 60s);
        if (end == "out of time")
            inet.setOverallTimeout(3s);
        inet.Execute("PUT " + local + " index.htm");
        // The session's own process, run as the user, stops once the page has begun to arrive.
        QTRY_VERIFY_WITH_TIMEOUT(
            !QDir(server.root()).entryList({".index.htm.*"}, QDir::Files | QDir::Hidden).isEmpty(),
            10000);
        QProcess freeze;
        freeze.start("pkill", {"-STOP", "-u", server.user(), "sshd"});
        QVERIFY(freeze.waitForFinished() && freeze.exitCode() == 0);
        QElapsedTimer waited;
        waited.start();
        if (end == "cancel") {
            inet.Cancel();
            QCOMPARE(inet.CancelledDuring(), std::optional(Inet::Stage::Uploading));
        }
        const bool ended = waitLikeTheJob(inet, 10s);
        QProcess thaw;
        thaw.start("pkill", {"-CONT", "-u", server.user(), "sshd"});
        thaw.waitForFinished();
        QVERIFY(ended);
        QVERIFY2(waited.elapsed() < (end == "cancel" ? 1500 : 5000), qPrintable(inet.LastError()));
        QVERIFY(!inet.LastSucceeded());
        if (!said.isEmpty())
            QVERIFY2(inet.LastError().contains(said), qPrintable(inet.LastError()));
        QCOMPARE(readFile(live), QByteArray("old page"));
    }

    // OpenSSH's one-step rename, which the program sends and reads on the SFTP channel itself:
    // the request as the server reads it, and the reply read a packet at a time, whole, in
    // pieces, or not a reply to it at all. reading: "status N", "more N" (bytes still to come),
    // "skip N" (another packet of N bytes), "malformed".
    void posixRenamePackets_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reading");
        const auto number = [](quint32 n) {
            const quint32 big = qToBigEndian(n);
            return QByteArray(reinterpret_cast<const char*>(&big), 4);
        };
        const auto packet = [&](char type, quint32 id, const QByteArray& rest) {
            const QByteArray body = type + number(id) + rest;
            return number(quint32(body.size())) + body;
        };
        const auto status = [&](quint32 id, quint32 code) {
            return packet(101, id, number(code) + number(2) + "ok" + number(0));
        };
        QTest::newRow("done") << status(7, 0) << "status 0";
        QTest::newRow("unknown to the server") << status(7, 8) << "status 8";
        QTest::newRow("refused") << status(7, 3) << "status 3";
        QTest::newRow("a status without words") << packet(101, 7, number(4)) << "status 4";
        QTest::newRow("nothing yet") << QByteArray() << "more 4";
        QTest::newRow("its length alone") << status(7, 0).left(4) << "more 19";
        QTest::newRow("cut in the middle") << status(7, 0).left(11) << "more 12";
        QTest::newRow("another request's reply") << status(6, 0) << "skip 23";
        QTest::newRow("another kind of packet") << packet(102, 7, number(1) + "h") << "skip 14";
        QTest::newRow("too short for a status") << packet(101, 7, "") << "malformed";
        QTest::newRow("no room for a type and id") << number(3) + "abc"
                                                   << "malformed";
        QTest::newRow("longer than any reply") << number(1u << 30) << "malformed";
    }

    void posixRenamePackets() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reading);
        using platform::inet::posixrename::Reading;
        QCOMPARE(platform::inet::posixrename::Packet(7, "a", "/b").toHex(),
                 QByteArray("0000002cc800000007000000187"
                            "06f7369782d72656e616d65406f70656e7373682e636f6d"
                            "000000016100000002"
                            "2f62"));
        const Reading got = platform::inet::posixrename::Read(bytes, 7);
        const QString said =
            got.kind == Reading::Kind::Status    ? QString("status %1").arg(got.status)
            : got.kind == Reading::Kind::Partial ? QString("more %1").arg(got.needed)
            : got.kind == Reading::Kind::Other   ? QString("skip %1").arg(got.length)
                                                 : QString("malformed");
        QCOMPARE(said, reading);
    }

    // ProFTPD over SFTP, as shared hosting sets it up. With one connection a client, taken by
    // another, the upload is turned away, and the message says so (before, it spoke of the
    // folder and of encryption keys); free, the whole publish goes over that one connection and
    // the page keeps its mode (before, a second connection asked for it, was turned away, and
    // the page went back to 0644). A server without OpenSSH's one-step rename still gets the
    // page in place, the old one moved aside and away.
    void sftpOnProftpd_data() {
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<bool>("otherConnected");
        QTest::addColumn<QString>("failure"); // empty: published
        const QString one = "MaxConnectionsPerHost 1\n";
        QTest::newRow("one connection a client, taken")
            << one << true
            << "turned the connection away, as a server does that takes no more connections "
               "from here at once: Maximum connections for host/user reached";
        QTest::newRow("one connection a client") << one << false << QString();
        QTest::newRow("no one-step rename") << one + "SFTPExtensions -posixRename\n"
                                            << false << QString();
    }

    void sftpOnProftpd() {
        QFETCH(QString, configuration);
        QFETCH(bool, otherConnected);
        QFETCH(QString, failure);
        ProftpdServer server;
        server.addConfiguration(configuration);
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QString knownHosts = m_local.filePath("known_hosts_limit");
        QVERIFY(writeFile(knownHosts, server.knownHostsLine().toUtf8() + '\n'));
        QTcpSocket other;
        if (otherConnected) {
            other.connectToHost("127.0.0.1", server.port(ProftpdServer::Sftp));
            QVERIFY(other.waitForConnected() && other.waitForReadyRead());
        }
        const QDir www(server.root() + "/www");
        QVERIFY(www.mkpath("."));
        const QString live = www.filePath("index.htm");
        QVERIFY(writeFile(live, "old page"));
        const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
        QVERIFY(QFile::setPermissions(live, mode));
        const QString local = m_local.filePath("limit.htm");
        QVERIFY(writeFile(local, "new page"));
        Inet inet;
        inet.setURL(server.site(ProftpdServer::Sftp));
        inet.setUserName(server.user());
        inet.setPassword(server.password());
        inet.setKnownHostsFile(knownHosts);
        const bool published = run(inet, "CD www") && run(inet, "PUT " + local + " index.htm");
        QVERIFY2(inet.LastError().contains(failure), qPrintable(inet.LastError()));
        QCOMPARE(published, failure.isEmpty());
        QCOMPARE(readFile(live), failure.isEmpty() ? QByteArray("new page") : "old page");
        QCOMPARE(QFile::permissions(live) & ~(QFile::ReadUser | QFile::WriteUser), mode);
        QCOMPARE(www.entryList(QDir::Files | QDir::Hidden), QStringList{"index.htm"});
    }

    // OpenSSH, a folder the login cannot write into and a page it may overwrite: the page goes
    // the plain way, and the success says so. Before, not a word.
    void unwritableFolderIsSaidOverSftp() {
        if (const QString why = SshdServer::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        SshdServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QDir locked(server.root() + "/locked");
        QVERIFY(locked.mkpath("."));
        QVERIFY(writeFile(locked.filePath("index.htm"), "old page"));
        QVERIFY(server.handOver(locked.filePath("index.htm")));
        const QString knownHosts = m_local.filePath("known_hosts_locked");
        QVERIFY(writeFile(knownHosts, server.knownHostsLine(SshdServer::Ed25519).toUtf8() + '\n'));
        const QString local = m_local.filePath("locked.htm");
        QVERIFY(writeFile(local, "new page"));
        Inet inet;
        inet.setURL(server.site());
        inet.setUserName(server.user());
        inet.setPassword(server.password());
        inet.setKnownHostsFile(knownHosts);
        QVERIFY2(run(inet, "CD locked"), qPrintable(inet.LastError()));
        QVERIFY2(run(inet, "PUT " + local + " index.htm"), qPrintable(inet.LastError()));
        QCOMPARE(readFile(locked.filePath("index.htm")), QByteArray("new page"));
        QVERIFY2(inet.LastNote().startsWith("The page was overwritten in place, without the safe "
                                            "replace, as the server would not take it under a "
                                            "name of its own first"),
                 qPrintable(inet.LastNote()));
    }

    // A host known by its RSA key alone, whose server also offers ECDSA and Ed25519 keys and
    // still proves an RSA key with SHA-1 (ssh-rsa): asked for the RSA key first, as ssh asks,
    // it shows that one. Before, it showed its ECDSA key, which the file does not know.
    void knownRsaKeyIsAskedForFirst() {
        if (const QString why = SshdServer::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        SshdServer server;
        QVERIFY2(server.start({.sha1Rsa = true}), qPrintable(server.errorString()));
        const QString knownHosts = m_local.filePath("known_hosts_rsa");
        QVERIFY(writeFile(knownHosts, server.knownHostsLine(SshdServer::Rsa).toUtf8() + '\n'));
        const QString local = m_local.filePath("rsa.htm");
        QVERIFY(writeFile(local, "over ssh"));
        Inet inet;
        inet.setURL(server.site());
        inet.setUserName(server.user());
        inet.setPassword(server.password());
        inet.setKnownHostsFile(knownHosts);
        QVERIFY2(run(inet, "PUT " + local + " rsa.htm"), qPrintable(inet.LastError()));
        QCOMPARE(readFile(server.root() + "/rsa.htm"), QByteArray("over ssh"));
    }

    // OpenSSH renames onto the page in one step (posix-rename@openssh.com), so the page is never
    // missing, and the whole publish goes over one connection. What stands under the page's
    // name, and its mode, come from one request however many files stand beside it; the folder
    // is listed only where a cut-short run was written down, or the page is missing. Planted in the
    // page's folder: "file NAME CONTENT", "dir NAME"; {old} the start of an upload long ago.
    void replacesPageOverSftpBesideManyFiles_data() {
        QTest::addColumn<QStringList>("plant");
        QTest::addColumn<QStringList>("writtenDown"); // upload tags in this machine's journal
        QTest::addColumn<QString>("failure");         // empty: published
        QTest::addColumn<QString>("requests");        // over curl's connection; empty: listed
        QTest::addColumn<QStringList>("kept");        // hidden names left beside the page

        const QString page = "file index.htm old page";
        const QString cut = ".index.htm.vantrell-20200101T000000Z-00000001.part";
        const QString replaced = "stat stat open write close setstat posix-rename";
        QTest::newRow("300 files beside")
            << QStringList{page} << QStringList{} << QString() << replaced << QStringList{};
        QTest::newRow("a cut-short run written down")
            << QStringList{page, "file " + cut + " x"}
            << QStringList{"vantrell-20200101T000000Z-00000001"} << QString() << QString()
            << QStringList{};
        // Another machine's, or from before the journal: left for a run that lists the folder.
        QTest::newRow("a cut-short run of elsewhere")
            << QStringList{page, "file " + cut + " x"} << QStringList{} << QString() << replaced
            << QStringList{cut};
        QTest::newRow("page missing, its moved-aside copy beside")
            << QStringList{"file .index.htm.vantrell-20200101T000000Z-00000002.old old page"}
            << QStringList{} << QString() << QString() << QStringList{};
        QTest::newRow("folder") << QStringList{"dir index.htm"} << QStringList{}
                                << R"("index.htm" is a folder on the server)"
                                << "stat stat" << QStringList{};
    }

    void replacesPageOverSftpBesideManyFiles() {
        QFETCH(QStringList, plant);
        QFETCH(QStringList, writtenDown);
        QFETCH(QString, failure);
        QFETCH(QString, requests);
        QFETCH(QStringList, kept);
        if (const QString why = SshdServer::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (!m_loggedSshd) {
            m_loggedSshd = std::make_unique<SshdServer>();
            QVERIFY2(m_loggedSshd->start({.logRequests = true}),
                     qPrintable(m_loggedSshd->errorString()));
        }
        SshdServer& server = *m_loggedSshd;
        const QString folder = QStringLiteral("crowded%1").arg(++m_folders);
        const QDir dir(server.root() + u'/' + folder);
        QVERIFY(dir.mkpath("."));
        const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
        for (int i = 0; i < 300; ++i)
            QVERIFY(writeFile(dir.filePath(QStringLiteral("other%1.htm").arg(i)), "x"));
        for (const QString& line : plant) {
            const QStringList part = line.split(u' ');
            if (part[0] == "dir")
                QVERIFY(dir.mkdir(part[1]));
            else
                QVERIFY(writeFile(dir.filePath(part[1]), part.mid(2).join(u' ').toUtf8()));
            QVERIFY(server.handOver(dir.filePath(part[1])));
            if (part[0] == "file")
                QVERIFY(QFile::setPermissions(dir.filePath(part[1]), mode));
        }
        const QString live = dir.filePath("index.htm");
        QVERIFY(server.handOver(dir.path()));
        const platform::inet::UploadJournal journal(
            server.user() + QStringLiteral("@127.0.0.1:%1").arg(server.port()),
            folder + "/index.htm");
        QVERIFY(journal.setTags(writtenDown));
        const QString knownHosts = m_local.filePath("sftp_known_hosts");
        QVERIFY(writeFile(knownHosts, server.knownHostsLine(SshdServer::Ed25519).toUtf8() + '\n'));
        const QString local = m_local.filePath("crowded.htm");
        QVERIFY(writeFile(local, "new page"));
        server.requests();

        Inet inet;
        inet.setURL(server.site());
        inet.setUserName(server.user());
        inet.setPassword(server.password());
        inet.setKnownHostsFile(knownHosts);
        // Watched all the while: the page is never missing.
        std::atomic<bool> publishing = true;
        std::atomic<int> missing = 0;
        const QByteArray watched = QFile::encodeName(live);
        std::thread watcher([&] {
            while (publishing)
                missing += ::access(watched.constData(), F_OK) != 0;
        });
        QVERIFY2(run(inet, "CD " + folder), qPrintable(inet.LastError()));
        const bool published = run(inet, "PUT " + local + " index.htm");
        publishing = false;
        watcher.join();
        if (plant.contains("file index.htm old page"))
            QCOMPARE(missing.load(), 0);
        QCOMPARE(published, failure.isEmpty());
        QVERIFY2(inet.LastError().startsWith(failure), qPrintable(inet.LastError()));
        const QStringList sessions = server.requests();
        if (requests.isEmpty()) {
            QVERIFY2(sessions.join(u' ').contains("opendir"), qPrintable(sessions.join(u'|')));
        } else {
            QCOMPARE(sessions, QStringList{requests});
        }
        if (!failure.isEmpty()) {
            QVERIFY(QFileInfo(live).isDir());
            return;
        }
        QCOMPARE(readFile(live), QByteArray("new page"));
        QCOMPARE(QFile::permissions(live) & ~(QFile::ReadUser | QFile::WriteUser), mode);
        QCOMPARE(dir.entryList(QDir::Files | QDir::Hidden).size(), 301 + kept.size());
        for (const QString& name : kept)
            QVERIFY2(dir.exists(name), qPrintable(name));
        // Nothing of this run is left to look for.
        QCOMPARE(journal.tags(), std::optional<QStringList>(QStringList{}));
    }

private:
    QTemporaryDir m_local;
    std::unique_ptr<SshdServer> m_sshd;       // one for all rows: its keys take a while to make
    std::unique_ptr<SshdServer> m_loggedSshd; // logs the SFTP requests
    std::unique_ptr<SshdServer> m_keysSshd;   // keys only
    std::unique_ptr<SshdServer> m_keysAndPasswordSshd;
    int m_folders = 0;
};

QTEST_GUILESS_MAIN(TestInet)
#include "tst_inet.moc"
