#include "Process.h"

#include <QFile>
#include <QProcess>
#include <QtGlobal>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#endif

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace platform {

namespace {
EndProcessHandler& handlerSlot() {
    static EndProcessHandler handler;
    return handler;
}
} // namespace

void EndProcess(int status) {
    if (handlerSlot()) {
        handlerSlot()(status);
        return;
    }
    std::fflush(nullptr);
    // Not exit(): destructors would run while windows and a transfer may still be live on the
    // stack below us; everything worth keeping has been written by now.
#if defined(Q_OS_WIN)
    // Nor _Exit() here, which is ExitProcess: it stops the other threads wherever they are and
    // then runs every library's unloading code, which waits forever for a lock one of them held.
    TerminateProcess(GetCurrentProcess(), UINT(status));
#endif
    std::_Exit(status);
}

bool ProcessRunning(qint64 pid, const QByteArray& argument) {
    if (pid <= 0)
        return false;
#if defined(Q_OS_WIN)
    Q_UNUSED(argument);
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return false;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
#else
    // Another user's process answers EPERM: it runs all the same.
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
#if defined(Q_OS_LINUX)
    if (!argument.isEmpty()) {
        QFile command(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!command.open(QIODevice::ReadOnly))
            return true;
        for (const QByteArray& given : command.read(64 * 1024).split('\0'))
            if (given == argument || given.startsWith(argument + '='))
                return true;
        return false;
    }
#else
    Q_UNUSED(argument);
#endif
    return true;
#endif
}

// The id of a watcher that ended may belong to anything by now: the signal that asks a watcher
// to publish ends most other programs.
bool WatcherRuns(qint64 pid) {
    return ProcessRunning(pid, QByteArrayLiteral("--watch"));
}

bool AskWatcherToPublish(qint64 pid) {
#if defined(Q_OS_WIN)
    Q_UNUSED(pid);
    return false;
#else
    return WatcherRuns(pid) && ::kill(pid_t(pid), SIGUSR1) == 0;
#endif
}

bool StartProgram(const QString& program, const QStringList& arguments) {
    return QProcess::startDetached(program, arguments);
}

EndProcessHandler SetEndProcessHandler(EndProcessHandler handler) {
    return std::exchange(handlerSlot(), std::move(handler));
}

} // namespace platform
