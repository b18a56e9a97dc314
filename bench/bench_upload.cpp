// Figures for the upload job, each beside a plain tool doing the same work in the same run:
//   page generation from a 100 MB template against sed, and its peak memory against a 1 KB one;
//   CPU used while a slow server takes the page, over the wall time;
//   a whole unattended upload against sed piped into curl.
//
// usage: bench_upload <path of vantrell> [work folder]

#include "FtpServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Run {
    int status = -1;
    double wall = 0; // seconds
    double cpu = 0;  // seconds, user and system
    long peakKb = 0;
};

// fork and exec rather than QProcess: wait4 gives the child's own CPU time and peak memory.
Run run(const std::vector<std::string>& argv, const QProcessEnvironment& env) {
    std::vector<std::string> envStrings;
    for (const QString& key : env.keys())
        envStrings.push_back((key + QLatin1Char('=') + env.value(key)).toStdString());
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : envStrings)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    QElapsedTimer clock;
    clock.start();
    const pid_t pid = fork();
    if (pid == 0) {
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    Run r;
    struct rusage usage {};
    int status = 0;
    wait4(pid, &status, 0, &usage);
    r.wall = clock.nsecsElapsed() / 1e9;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
            usage.ru_stime.tv_usec / 1e6;
    r.peakKb = usage.ru_maxrss;
    return r;
}

bool writeTemplate(const QString& path, qint64 size) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk;
    for (int i = 0; chunk.size() < 1 << 20; ++i) {
        if (i % 10 == 0)
            chunk += "<p>Reach me at %Tallyhost% (%date% %time%)</p>\n";
        else
            chunk += "<p>Some ordinary text of the page, line " + QByteArray::number(i) + ".</p>\n";
    }
    qint64 written = 0;
    while (written < size) {
        const QByteArray part = chunk.left(size - written);
        if (f.write(part) != part.size())
            return false;
        written += part.size();
    }
    return true;
}

bool writeSettings(const QString& configDir, const QString& site, const QString& templatePath,
                   const QString& user, const QString& password) {
    QFile f(configDir + QStringLiteral("/TallyhostUpdater.ini"));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QStringLiteral("[FTP]\nFTPSite=%1\nUserName=%2\nPassword=%3\nUploadFileName=page.htm\n"
                           "[HTML]\nHTMLTemplate=%4\nIPParseField=%Tallyhost%\nUploadDir=\n")
                .arg(site, user, password, templatePath)
                .toUtf8());
    return true;
}

QProcessEnvironment programEnvironment(const QString& work) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), work + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), work + QStringLiteral("/state"));
    env.insert(QStringLiteral("windir"), work + QStringLiteral("/win"));
    return env;
}

std::string sedScript() {
    return "s/%Tallyhost%/127.0.0.1/g; s/%date%/Dec 07 2026/g; s/%time%/4:05:06 AM/g";
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_upload <path of vantrell> [work folder]\n");
        return 2;
    }
    const std::string program = argv[1];
    QTemporaryDir tmp(argc > 2 ? QString::fromLocal8Bit(argv[2]) + QStringLiteral("/benchXXXXXX")
                               : QDir::tempPath() + QStringLiteral("/benchXXXXXX"));
    const QString work = tmp.path();
    QDir(work).mkpath(QStringLiteral("config"));
    QDir(work).mkpath(QStringLiteral("win/temp"));
    const QProcessEnvironment env = programEnvironment(work);
    const QString big = work + QStringLiteral("/big.htm");
    const QString small = work + QStringLiteral("/small.htm");
    if (!writeTemplate(big, 100LL << 20) || !writeTemplate(small, 1024)) {
        std::fprintf(stderr, "cannot write the templates in %s\n", qPrintable(work));
        return 1;
    }
    const std::string page = (work + QStringLiteral("/win/temp/page.htm")).toStdString();
    const std::vector<std::string> vantrellA = {program, "/A"};

    // 1. Page generation: nothing listens on port 1, so the run ends right after the page.
    writeSettings(work + QStringLiteral("/config"), QStringLiteral("127.0.0.1:1"), big, "u", "p");
    const Run gen = run(vantrellA, env);
    const Run sed =
        run({"/bin/sh", "-c",
             "sed -e '" + sedScript() + "' '" + big.toStdString() + "' > '" + page + ".sed'"},
            env);
    writeSettings(work + QStringLiteral("/config"), QStringLiteral("127.0.0.1:1"), small, "u", "p");
    const Run genSmall = run(vantrellA, env);
    std::printf("page from a 100 MB template: vantrell %.2f s, sed %.2f s, ratio %.2f "
                "(goal <= 1.0)\n",
                gen.wall, sed.wall, gen.wall / sed.wall);
    std::printf("peak memory: 100 MB template %ld KB, 1 KB template %ld KB, difference %ld KB "
                "(goal <= 8192)\n",
                gen.peakKb, genSmall.peakKb, gen.peakKb - genSmall.peakKb);

    // 2. CPU while waiting on a server that takes a few seconds to receive the page, beyond
    //    what the same upload costs against a server that takes it at once.
    {
        const qint64 rate = 64 * 1024;
        const QString mid = work + QStringLiteral("/mid.htm");
        writeTemplate(mid, 8 * rate);
        Run runs[2];
        for (int slow = 0; slow < 2; ++slow) {
            FtpServer server;
            if (!server.start({.readLimit = slow ? rate : 0})) {
                std::fprintf(stderr, "FTP server: %s\n", qPrintable(server.errorString()));
                return 1;
            }
            writeSettings(work + QStringLiteral("/config"), server.url().mid(6), mid, server.user(),
                          server.password());
            runs[slow] = run(vantrellA, env);
        }
        const Run& fast = runs[0];
        const Run& slow = runs[1];
        std::printf("waiting on a slow server: exit %d, wall %.2f s, CPU %.3f s in all (%.1f%%); "
                    "the wait alone %.2f s at %.1f%% CPU (goal <= 5%%)\n",
                    slow.status, slow.wall, slow.cpu, 100 * slow.cpu / slow.wall,
                    slow.wall - fast.wall, 100 * (slow.cpu - fast.cpu) / (slow.wall - fast.wall));
    }

    // 3. A whole unattended upload of the 100 MB page against sed piped into curl, three
    //    times each, taking turns; the medians are compared.
    {
        FtpServer server;
        if (!server.start()) {
            std::fprintf(stderr, "FTP server: %s\n", qPrintable(server.errorString()));
            return 1;
        }
        writeSettings(work + QStringLiteral("/config"), server.url().mid(6), big, server.user(),
                      server.password());
        const std::string curl = "sed -e '" + sedScript() + "' '" + big.toStdString() +
                                 "' | curl -s -S -T - --user '" + server.user().toStdString() +
                                 ":" + server.password().toStdString() + "' '" +
                                 server.url().toStdString() + "/curl.htm'";
        std::vector<double> ours, theirs;
        int failures = 0;
        for (int i = 0; i < 3; ++i) {
            const Run whole = run(vantrellA, env);
            const Run piped = run({"/bin/sh", "-c", curl}, env);
            failures += (whole.status != 0) + (piped.status != 0);
            ours.push_back(whole.wall);
            theirs.push_back(piped.wall);
        }
        std::sort(ours.begin(), ours.end());
        std::sort(theirs.begin(), theirs.end());
        std::printf("unattended upload of the 100 MB page (median of 3): vantrell %.2f s, "
                    "sed | curl %.2f s, ratio %.2f (goal <= 1.0)%s\n",
                    ours[1], theirs[1], ours[1] / theirs[1], failures ? ", SOME RUNS FAILED" : "");
    }
    return 0;
}
