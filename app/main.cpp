#include "AppInfo.h"
#include "Application.h"
#include "CommandLine.h"
#include "MessageLine.h"
#include "MsgBox.h"
#include "Process.h"
#if !defined(Q_OS_WIN)
#include "SessionBus.h"
#endif
#include "frmTallyhost.h"
#include "modPageCheck.h"
#include "modSchedule.h"
#include "modTallyhost.h"
#include "modTray.h"
#include "modWatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>

#include <cstdio>
#include <exception>
#include <optional>

namespace {

// The watcher runs for weeks and shows nothing: it never holds on to a display, whose end would
// end it (a window system named for the session counts as none), and the programs it starts
// find the environment as it was.
int watchUntilStopped(int& argc, char** argv, const QStringList& arguments, int minutes) {
#if defined(Q_OS_LINUX)
    QList<std::pair<const char*, QByteArray>> displays;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (qEnvironmentVariableIsSet(name)) {
            displays.append({name, qgetenv(name)});
            qunsetenv(name);
        }
    }
#endif
    platform::PrepareWindowSystem(arguments, true);
    Application app(argc, argv, arguments.mid(1));
    platform::WindowSystemStarted();
#if defined(Q_OS_LINUX)
    for (const auto& [name, value] : displays)
        qputenv(name, value);
#endif
    try {
        if (!StartWatching(minutes))
            return 1;
    } catch (const std::exception& e) {
        ReportUnexpectedError(QString::fromLocal8Bit(e.what()));
        return 2;
    }
    return app.exec();
}

// On a desktop the toolkit talks to the session bus by itself, with no time limit: a bus that
// takes the connection and never answers would hold the window, or the run, for ever. One that
// keeps silent when asked first is left out, once, for the whole run. Said in a line of its
// own, never as the run's last word, which a failure's notice repeats.
void leaveOutSilentBus() {
#if !defined(Q_OS_WIN)
    if (platform::IsHeadless())
        return;
    const QString problem = platform::LeaveOutSilentSessionBus();
    if (problem.isEmpty())
        return;
    const QByteArray line = (platform::App::title() + QStringLiteral(": ") + problem +
                             QStringLiteral("; the program goes on without it"))
                                .toLocal8Bit() +
                            '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
#endif
}

} // namespace

int main(int argc, char* argv[]) {
    platform::MessageLine::ReachStartingConsole();
    if (const std::optional<int> answered = AnswerInformationOptions(argc, argv))
        return *answered;
    // Set up over SSH as often as not: no window system is asked for.
    // Both talk to the session bus. Ended the ordinary way, the program would take down the
    // bus connection's thread after the application object, while a late message from the bus
    // may still be read there: a toolkit warning would follow the one line these print.
    if (const std::optional<QString> minutes = ScheduleArgument(argc, argv)) {
        QCoreApplication app(argc, argv);
        platform::EndProcess(ScheduleFromCommandLine(*minutes));
    }
    if (StatusAsked(argc, argv)) {
        QCoreApplication app(argc, argv);
        platform::EndProcess(AnswerStatus());
    }
#ifndef Q_OS_WIN
    // A relative base folder names no place at all, only wherever the run happens to start:
    // the settings would be missed and saved anew there. It counts as unset, as the XDG base
    // directory rules say.
    if (QDir::isRelativePath(qEnvironmentVariable("XDG_CONFIG_HOME")))
        qunsetenv("XDG_CONFIG_HOME");
#endif
    // A look at the page for a monitoring tool, without a display.
    if (Asked(argc, argv, "--check")) {
        QCoreApplication app(argc, argv);
        platform::EndProcess(CheckPageFromCommandLine());
    }
    // The toolkit takes the options it knows out of argv ("-style /A" would take the switch
    // with it), so the command line is read before it gets the chance.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const std::optional<QString> watch = WatchArgument(argc, argv)) {
        const std::optional<int> minutes = WatchMinutes(*watch);
        if (!minutes)
            return 1;
        return watchUntilStopped(argc, argv, arguments, *minutes);
    }
    platform::PrepareWindowSystem(arguments,
                                  HasUnattendedSwitch(CommandLineText(arguments.mid(1))));
    leaveOutSilentBus();
    Application app(argc, argv, arguments.mid(1));
    platform::WindowSystemStarted();
    if (TrayAsked(argc, argv))
        return RunTray();
    try {
        Main();
    } catch (const std::exception& e) {
        ReportUnexpectedError(QString::fromLocal8Bit(e.what()));
        return 2;
    }
    const int status = app.exec();
    // Closed from its frame: nothing is saved, but the FTP connection is still closed properly.
    if (MainFormLoaded())
        delete &MainForm();
    return status;
}
