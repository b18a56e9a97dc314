#include "Process.h"

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
    std::_Exit(status);
}

EndProcessHandler SetEndProcessHandler(EndProcessHandler handler) {
    return std::exchange(handlerSlot(), std::move(handler));
}

} // namespace platform
