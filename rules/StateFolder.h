#pragma once

#include <QString>

namespace platform {

// The folder where the program keeps what it remembers between runs: what was published, the
// history of attempts, what the desktop was told, the uploads that may have left names on a
// server. ${XDG_STATE_HOME:-~/.local/state}/vantrell on Linux, where an XDG_STATE_HOME that is
// not an absolute path does not count; the user's local application data on Windows.
QString StateFolder();

// Makes the state folder, and any folder above it that is missing, and keeps it to the user:
// what it holds names the user's servers and accounts. False, with the reason, when it cannot
// be made (something else stands in its place, say) or kept to the user.
bool MakeStateFolder(QString* error = nullptr);

} // namespace platform
