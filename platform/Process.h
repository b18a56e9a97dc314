#pragma once

#include <functional>

namespace platform {

// Ends the process at once with the given status: no further events are delivered and no
// window gets a chance to run code. Callers save what they need before.
void EndProcess(int status);

// Tests replace the ending with a recorder; an empty handler restores the default.
using EndProcessHandler = std::function<void(int status)>;
EndProcessHandler SetEndProcessHandler(EndProcessHandler handler);

} // namespace platform
