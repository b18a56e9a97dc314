#include "Process.h"

#include <QtGlobal>

#if defined(Q_OS_WIN)
#include <windows.h>
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

EndProcessHandler SetEndProcessHandler(EndProcessHandler handler) {
    return std::exchange(handlerSlot(), std::move(handler));
}

} // namespace platform
