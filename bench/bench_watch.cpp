// What a watcher ("vantrell --watch") costs while nothing changes, beside what the timer's
// "/A" run costs each time it comes: the requests it sends to the web services and STUN
// servers, its CPU time and its memory. Source=auto, with a web service and a STUN server of
// the bench's own on 127.0.0.1 that count what they are asked, the tests' UPnP gateway
// stand-in (which the watcher subscribes to) and the tests' FTP server.
//
// usage: bench_watch <path of vantrell> [seconds idle, 60 unless given]
//
// Not run in CI: it takes as long as it is told to.

#include "AddressServer.h"
#include "FtpServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const QByteArray Public = "203.0.113.7";

// A web service that answers every GET with the address, and counts them.
class CountingWeb : public QTcpServer {
public:
    int asked = 0;
    CountingWeb() {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* client = nextPendingConnection()) {
                connect(client, &QTcpSocket::readyRead, client, [this, client] {
                    if (!client->readAll().contains("\r\n\r\n"))
                        return;
                    ++asked;
                    client->write(
                        "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(Public.size()) +
                        "\r\nConnection: close\r\n\r\n" + Public);
                    client->disconnectFromHost();
                });
                connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            }
        });
        listen(QHostAddress::LocalHost);
    }
};

// A STUN server that maps everyone to the address, and counts the requests.
class CountingStun : public QUdpSocket {
public:
    int asked = 0;
    CountingStun() {
        bind(QHostAddress::LocalHost, 0);
        connect(this, &QUdpSocket::readyRead, this, [this] {
            while (hasPendingDatagrams()) {
                QHostAddress from;
                quint16 port = 0;
                QByteArray request(int(pendingDatagramSize()), '\0');
                readDatagram(request.data(), request.size(), &from, &port);
                if (request.size() < 20)
                    continue;
                ++asked;
                constexpr quint32 Cookie = 0x2112A442;
                QByteArray reply(32, '\0');
                auto* r = reinterpret_cast<uchar*>(reply.data());
                qToBigEndian<quint16>(0x0101, r);
                qToBigEndian<quint16>(12, r + 2);
                std::memcpy(r + 4, request.constData() + 4, 16); // cookie and transaction
                qToBigEndian<quint16>(0x0020, r + 20);           // XOR-MAPPED-ADDRESS
                qToBigEndian<quint16>(8, r + 22);
                r[25] = 1; // IPv4
                qToBigEndian<quint16>(quint16(port ^ (Cookie >> 16)), r + 26);
                qToBigEndian<quint32>(
                    QHostAddress(QString::fromLatin1(Public)).toIPv4Address() ^ Cookie, r + 28);
                writeDatagram(reply, from, port);
            }
        });
    }
};

// The process's CPU time in seconds and its resident memory in KB, from /proc.
double cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime, the 14th and 15th fields, after the name.
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) /
           double(sysconf(_SC_CLK_TCK));
}

long rssKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// One run of the program to its end, with fork and exec rather than QProcess: wait4 gives the
// child's own CPU time. Its CPU seconds, user and system.
double runOnce(const QString& program, const QProcessEnvironment& env) {
    std::vector<std::string> strings;
    for (const QString& key : env.keys())
        strings.push_back((key + QLatin1Char('=') + env.value(key)).toStdString());
    std::vector<char*> envp;
    for (std::string& e : strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = program.toStdString();
    std::string unattended = "/A";
    char* args[] = {path.data(), unattended.data(), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        execve(args[0], args, envp.data());
        _exit(127);
    }
    // The servers answer from this process's event loop meanwhile.
    struct rusage usage {};
    int status = 0;
    while (wait4(pid, &status, WNOHANG, &usage) == 0)
        QTest::qWait(5);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qsizetype openFiles(qint64 pid) {
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid))
        .entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files | QDir::Dirs)
        .size();
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <path of vantrell> [seconds idle]\n", argv[0]);
        return 2;
    }
    const QString vantrell = QString::fromLocal8Bit(argv[1]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    if (qEnvironmentVariableIsEmpty("VANTRELL_FTP_SERVER"))
        qputenv("VANTRELL_FTP_SERVER", VANTRELL_FTP_SERVER_SCRIPT);
    if (qEnvironmentVariableIsEmpty("VANTRELL_ADDRESS_SERVER"))
        qputenv("VANTRELL_ADDRESS_SERVER", VANTRELL_ADDRESS_SERVER_SCRIPT);

    FtpServer ftp;
    AddressServer router;
    CountingWeb web;
    CountingStun stun;
    if (!ftp.start() || !router.start()) {
        std::fprintf(stderr, "the test servers did not start\n");
        return 1;
    }
    QDir(ftp.root()).mkpath(QStringLiteral("pub"));
    QTemporaryDir home;
    QDir(home.path()).mkpath(QStringLiteral("config"));
    QFile templ(home.filePath(QStringLiteral("template.htm")));
    templ.open(QIODevice::WriteOnly);
    templ.write("<p>%Tallyhost% on %date% at %time%</p>\n");
    templ.close();
    QFile ini(home.filePath(QStringLiteral("config/TallyhostUpdater.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write(QStringLiteral("[FTP]\nFTPSite=%1\nUserName=%2\nPassword=%3\nUploadFileName=ip.htm\n"
                             "[HTML]\nHTMLTemplate=%4\nIPParseField=%Tallyhost%\nUploadDir=pub\n"
                             "[Address]\nSource=auto\nRouterURL=%5\n"
                             "WebURL=http://127.0.0.1:%6/ip\nStunServers=127.0.0.1:%7\n"
                             "OnlyWhenChanged=True\n")
                  .arg(ftp.url().mid(6), ftp.user(), ftp.password(),
                       home.filePath(QStringLiteral("template.htm")),
                       router.router(QString::fromLatin1(Public)))
                  .arg(web.serverPort())
                  .arg(stun.localPort())
                  .toUtf8());
    ini.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                             "DBUS_SESSION_BUS_ADDRESS", "NOTIFY_SOCKET"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home.filePath(QStringLiteral("state")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
    env.insert(QStringLiteral("HOME"), home.path());

    // What the timer does every time it comes: one "/A" run, measured to its end.
    const double onceCpu = runOnce(vantrell, env);
    QTest::qWait(200);
    const int onceWeb = web.asked;
    const int onceStun = stun.asked;

    QProcess watcher;
    watcher.setProcessEnvironment(env);
    watcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    watcher.start(vantrell, {QStringLiteral("--watch")});
    watcher.waitForStarted();
    const qint64 pid = watcher.processId();
    // Started: its first check is over once the watcher says so.
    const QString state = home.filePath(QStringLiteral("state/vantrell/watch.json"));
    const bool started = QTest::qWaitFor(
        [&] {
            QFile f(state);
            return f.open(QIODevice::ReadOnly) && f.readAll().contains("\"published\"");
        },
        30000);
    if (!started) {
        std::fprintf(stderr, "the watcher did not publish\n");
        return 1;
    }
    QTest::qWait(3000);
    const int webBefore = web.asked, stunBefore = stun.asked;
    const qsizetype routerBefore = router.requests().size();
    const double cpuBefore = cpuSeconds(pid);
    const long rssBefore = rssKb(pid);
    const qsizetype filesBefore = openFiles(pid);

    QElapsedTimer clock;
    clock.start();
    QTest::qWait(seconds * 1000);
    const double cpuAfter = cpuSeconds(pid);
    const long rssAfter = rssKb(pid);
    const qsizetype filesAfter = openFiles(pid);
    const int webAfter = web.asked, stunAfter = stun.asked;
    const qsizetype routerAfter = router.requests().size();
    watcher.terminate();
    watcher.waitForFinished(10000);

    std::printf("one /A run, as the timer starts it (Source=auto):\n");
    std::printf("  requests to the web service: %d, to the STUN server: %d\n", onceWeb, onceStun);
    std::printf("  CPU: %.2f s\n", onceCpu);
    std::printf("idle watcher, Source=auto, %.0f s after its first check:\n",
                clock.elapsed() / 1000.0);
    std::printf("  requests to the web service: %d, to the STUN server: %d (safety checks due "
                "meanwhile, one every 15 minutes: %d)\n",
                webAfter - webBefore, stunAfter - stunBefore, seconds / (15 * 60));
    std::printf("  requests to the router: %lld\n", qint64(routerAfter - routerBefore));
    std::printf("  CPU: %.2f s\n", cpuAfter - cpuBefore);
    std::printf("  memory (RSS): %ld KB before, %ld KB after\n", rssBefore, rssAfter);
    std::printf("  open descriptors: %lld before, %lld after\n", qint64(filesBefore),
                qint64(filesAfter));
    std::printf("  exit status after SIGTERM: %d\n", watcher.exitCode());
    return 0;
}
