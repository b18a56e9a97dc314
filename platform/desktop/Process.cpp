#include "Process.h"

#include <QProcess>
#include <QtGlobal>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <QFile>

#include <signal.h>
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

bool WatcherRuns(qint64 pid) {
    if (pid <= 0)
        return false;
#if defined(Q_OS_WIN)
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return false;
    DWORD code = 0;
    const bool runs = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return runs;
#else
    // The id of a watcher that ended may belong to anything by now: the signal that asks a
    // watcher to publish ends most other programs.
    QFile arguments(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return arguments.open(QIODevice::ReadOnly) &&
           arguments.read(64 * 1024).split('\0').contains(QByteArrayLiteral("--watch"));
#endif
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
