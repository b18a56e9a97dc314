#pragma once

#include <QString>

#include <optional>

// "vantrell --watch [MINUTES]": the page follows the address rather than a clock. The watcher
// runs until it is stopped and publishes through the same job as "/A" whenever the address
// may have changed: this machine's addresses or routes changed, the router announced a change
// (NAT-PMP, UPnP events), the machine woke from sleep, or the safety check every MINUTES
// minutes is due. It keeps what it is doing in the state folder (rules/WatchState.h), for
// --status and the notification area's icon.

// The value after "--watch" (or in "--watch=VALUE"); empty when no value follows; nothing when
// the option is not on the command line.
std::optional<QString> WatchArgument(int argc, const char* const* argv);

// The minutes between safety checks that the value names, 15 when it is empty. Nothing, after
// one line on standard error, when it is no number from 5 to 1440.
std::optional<int> WatchMinutes(const QString& value);

// Starts watching, on an application object whose event loop is about to run. SIGTERM and
// SIGINT end the process with status 0 once an upload under way has stopped (the page on the
// server as it was), SIGHUP reads the settings again, SIGUSR1 publishes now. False, after one
// line on standard error, when another watcher of the same user runs already.
bool StartWatching(int minutes);
