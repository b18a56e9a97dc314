#pragma once

#include <QString>
#include <QStringList>

// Finding and starting the system information program. Windows records its place in the
// registry (the About box reads it there); other systems have no such record, so the program
// is looked up first in the machine-wide settings, then on PATH.
namespace platform::sysinfo {

// Machine-wide settings: <system config folder>/TallyhostUpdater.ini, e.g.
// /etc/xdg/TallyhostUpdater.ini with "[SysInfo]" and "Path=/usr/bin/hardinfo".
inline constexpr auto Organisation = "TallyhostUpdater";
inline constexpr auto PathKey = "SysInfo/Path";

// The full file name of the program as an administrator recorded it. True, with `path` set,
// when the value exists, whatever it names; the file itself is not checked.
bool RecordedPath(QString& path);

// The programs looked for on PATH, in the order tried within each folder.
QStringList ProgramNames();

// The first ordinary executable file named after ProgramNames() in the folders of PATH, folder
// by folder. Empty and relative entries are skipped, so nothing is picked up from whatever
// folder the program happens to run in.
bool SearchPath(QString& path);

// True for an existing file that is neither a folder nor (on Windows) hidden or a system file.
bool IsOrdinaryFile(const QString& path);

// Starts the program on its own, without waiting, keeping nothing of it. False when it could
// not be started (no such file, not executable).
bool Start(const QString& path);

} // namespace platform::sysinfo
