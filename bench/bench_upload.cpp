// Figures for the upload job, each beside a plain tool doing the same work in the same run:
//   page generation from a 100 MB template against sed with the same three substitutions;
//   a whole unattended publish of that page against sed piped into curl;
//   a 1 KB page published unattended, start to exit, against sed piped into curl, and the
//   least that loading the program's libraries takes;
//   peak memory for the 100 MB template against a 1 KB one;
//   CPU used while a slow server takes the page, over the wall time.
// Each comparison takes turns between the two and compares medians, so that whatever else the
// machine is doing weighs on both alike.
//
// usage: bench_upload <path of vantrell> [work folder]

#include "FtpServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
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
        // The program's own messages (a refused connection, on purpose) are not figures.
        if (const int devNull = open("/dev/null", O_WRONLY); devNull >= 0)
            dup2(devNull, STDERR_FILENO);
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

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
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
                   const QString& user, const QString& password,
                   const QString& pageName = QStringLiteral("page.htm")) {
    QFile f(configDir + QStringLiteral("/TallyhostUpdater.ini"));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    // Laid out as the program writes it, which it then has no reason to write again.
    f.write(QStringLiteral("[FTP]\nFTPSite=%1\nPassword=%3\nUploadFileName=%5\nUserName=%2\n\n"
                           "[HTML]\nHTMLTemplate=%4\nIPParseField=%Tallyhost%\nUploadDir=\n")
                .arg(site, user, password, templatePath, pageName)
                .toUtf8());
    return true;
}

// As a scheduler runs the program: no display, and the window system left to the program.
QProcessEnvironment programEnvironment(const QString& work) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), work + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), work + QStringLiteral("/state"));
    env.insert(QStringLiteral("windir"), work + QStringLiteral("/win"));
    return env;
}

std::string sed(const QString& templatePath) {
    return "sed -e 's/%Tallyhost%/127.0.0.1/g; s/%date%/Dec 07 2026/g; s/%time%/4:05:06 AM/g' '" +
           templatePath.toStdString() + "'";
}

std::string sedIntoCurl(const QString& templatePath, const FtpServer& server,
                        const std::string& remoteName) {
    return sed(templatePath) + " | curl -s -S -T - --user '" + server.user().toStdString() + ":" +
           server.password().toStdString() + "' '" + server.url().toStdString() + "/" + remoteName +
           "'";
}

void printRatio(const char* what, double ours, double theirs, const char* yardstick,
                const char* goal, int failures) {
    std::printf("%s: vantrell %.3f s, %s %.3f s, ratio %.2f (goal %s)%s\n", what, ours, yardstick,
                theirs, ours / theirs, goal, failures ? ", SOME RUNS FAILED" : "");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_upload <path of vantrell> [work folder]\n");
        return 2;
    }
#ifdef VANTRELL_FTP_SERVER_SCRIPT
    if (qEnvironmentVariableIsEmpty("VANTRELL_FTP_SERVER"))
        qputenv("VANTRELL_FTP_SERVER", VANTRELL_FTP_SERVER_SCRIPT);
#endif
    const std::string program = argv[1];
    QTemporaryDir tmp(argc > 2 ? QString::fromLocal8Bit(argv[2]) + QStringLiteral("/benchXXXXXX")
                               : QDir::tempPath() + QStringLiteral("/benchXXXXXX"));
    const QString work = tmp.path();
    const QString config = work + QStringLiteral("/config");
    QDir(work).mkpath(QStringLiteral("config"));
    QDir(work).mkpath(QStringLiteral("win/temp"));
    const QProcessEnvironment env = programEnvironment(work);
    const QString big = work + QStringLiteral("/big.htm");
    const QString small = work + QStringLiteral("/small.htm");
    constexpr qint64 BigSize = 100LL << 20;
    if (!writeTemplate(big, BigSize) || !writeTemplate(small, 1024)) {
        std::fprintf(stderr, "cannot write the templates in %s\n", qPrintable(work));
        return 1;
    }
    const std::string page = (work + QStringLiteral("/win/temp/page.htm")).toStdString();
    const std::vector<std::string> vantrellA = {program, "/A"};
    constexpr int Turns = 5;
    std::printf("each figure the median of %d turns unless said otherwise; files in %s\n", Turns,
                qPrintable(work));

    // 1. Page generation: nothing listens on port 1, so a run ends right after its page. What
    //    the 100 MB template costs beyond the 1 KB one is the generation of 100 MB.
    {
        std::vector<double> bigRuns, smallRuns, generations, sedRuns;
        long bigPeak = 0, smallPeak = 0;
        const std::string sedToFile = sed(big) + " > '" + page + ".sed'";
        for (int i = 0; i < Turns; ++i) {
            writeSettings(config, QStringLiteral("127.0.0.1:1"), big, "u", "p");
            const Run b = run(vantrellA, env);
            // A page of its own: replacing the 100 MB page would cost it what that costs.
            writeSettings(config, QStringLiteral("127.0.0.1:1"), small, "u", "p",
                          QStringLiteral("small.htm"));
            const Run s = run(vantrellA, env);
            const Run t = run({"/bin/sh", "-c", sedToFile}, env);
            bigRuns.push_back(b.wall);
            smallRuns.push_back(s.wall);
            generations.push_back(b.wall - s.wall);
            sedRuns.push_back(t.wall);
            bigPeak = std::max(bigPeak, b.peakKb);
            smallPeak = std::max(smallPeak, s.peakKb);
        }
        QFile::remove(QString::fromStdString(page + ".sed"));
        const double mb = double(BigSize) / 1e6;
        const double generation = median(generations);
        const double sedTime = median(sedRuns);
        std::printf("page generation, 100 MB template: vantrell %.3f s (runs of %.3f s less "
                    "%.3f s for a 1 KB one) = %.0f MB/s, sed %.3f s = %.0f MB/s, %.1fx sed "
                    "(goal >= 1000 MB/s and >= 3x)\n",
                    generation, median(bigRuns), median(smallRuns), mb / generation, sedTime,
                    mb / sedTime, sedTime / generation);
        std::printf("peak memory: 100 MB template %ld KB, 1 KB template %ld KB, difference %ld KB "
                    "(goal: flat, <= 8192)\n",
                    bigPeak, smallPeak, bigPeak - smallPeak);
        std::fflush(stdout);
    }

    FtpServer server;
    if (!server.start()) {
        std::fprintf(stderr, "FTP server: %s\n", qPrintable(server.errorString()));
        return 1;
    }

    // 2. and 3. A whole unattended publish against sed piped into curl, taking turns.
    const auto publish = [&](const QString& templatePath, int turns, const char* what,
                             const char* goal) {
        writeSettings(config, server.url().mid(6), templatePath, server.user(), server.password());
        const std::string piped = sedIntoCurl(templatePath, server, "curl.htm");
        std::vector<double> ours, theirs;
        int failures = 0;
        for (int i = 0; i < turns; ++i) {
            const Run whole = run(vantrellA, env);
            const Run pipe = run({"/bin/sh", "-c", piped}, env);
            failures += (whole.status != 0) + (pipe.status != 0);
            ours.push_back(whole.wall);
            theirs.push_back(pipe.wall);
        }
        printRatio(what, median(ours), median(theirs), "sed | curl -T -", goal, failures);
    };
    publish(big, Turns, "unattended publish of the 100 MB page", "<= 0.6");
    publish(small, 4 * Turns + 1, "unattended publish of a 1 KB page, start to exit (median of 21)",
            "<= 1.5");

    // What the 1 KB publish cannot go below: starting and ending a program that loads the same
    // libraries and does nothing, with the window libraries and without them.
    {
        const std::string piped = sedIntoCurl(small, server, "curl.htm");
        std::vector<double> all, withoutWindows, theirs;
        for (int i = 0; i < 4 * Turns + 1; ++i) {
            all.push_back(run({VANTRELL_FLOOR}, env).wall);
            withoutWindows.push_back(run({VANTRELL_FLOOR_WITHOUT_WINDOWS}, env).wall);
            theirs.push_back(run({"/bin/sh", "-c", piped}, env).wall);
        }
        const double yardstick = median(theirs);
        std::printf("start-up floor: a program that only loads vantrell's libraries %.3f s "
                    "(%.2fx sed | curl -T - %.3f s); without Qt Gui, Widgets and Svg %.3f s "
                    "(%.2fx)\n",
                    median(all), median(all) / yardstick, yardstick, median(withoutWindows),
                    median(withoutWindows) / yardstick);
        std::fflush(stdout);
    }

    // 4. CPU while waiting on a server that takes a few seconds to receive the page, beyond
    //    what the same upload costs against a server that takes it at once.
    {
        const qint64 rate = 64 * 1024;
        const QString mid = work + QStringLiteral("/mid.htm");
        writeTemplate(mid, 8 * rate);
        Run runs[2];
        for (int slow = 0; slow < 2; ++slow) {
            FtpServer throttled;
            if (!throttled.start({.readLimit = slow ? rate : 0})) {
                std::fprintf(stderr, "FTP server: %s\n", qPrintable(throttled.errorString()));
                return 1;
            }
            writeSettings(config, throttled.url().mid(6), mid, throttled.user(),
                          throttled.password());
            runs[slow] = run(vantrellA, env);
        }
        const Run& fast = runs[0];
        const Run& slow = runs[1];
        std::printf("waiting on a slow server: exit %d, wall %.2f s, CPU %.3f s in all (%.1f%%); "
                    "the wait alone %.2f s at %.1f%% CPU (goal <= 5%%)\n",
                    slow.status, slow.wall, slow.cpu, 100 * slow.cpu / slow.wall,
                    slow.wall - fast.wall, 100 * (slow.cpu - fast.cpu) / (slow.wall - fast.wall));
    }
    return 0;
}
