#pragma once

#include <QString>

#include <optional>

class frmOptions;

// Publishing on a schedule: the Options dialog's part, and "--schedule" on the command line.

// Fills the dialog's schedule controls from what the system reports now, and the choice of a
// notice when the published address changes from the settings.
void LoadSchedule(frmOptions& dialog);
// Stores the choice of a notice when the published address changes. False, after telling the
// user, when it cannot be kept.
bool SaveNoticeOptions(frmOptions& dialog);
// OK: makes the dialog's choice of schedule real (on with its kind and interval, or off) and
// shows the state read back afterwards. False, after telling the user, when the system refused.
bool ApplySchedule(frmOptions& dialog);

// The value after "--schedule" (or in "--schedule=VALUE"), empty when none follows; nothing
// when the option is not on the command line.
std::optional<QString> ScheduleArgument(int argc, const char* const* argv);
// Puts the schedule in place ("15") or removes it ("off") without a display, and says so in
// one line: 0 when it is in place or removed, 1 with the reason otherwise. Needs an
// application object.
int ScheduleFromCommandLine(const QString& value);
// The schedule as the system reports it now, in the words of the Options dialog ("On:
// publishing every 15 minutes, next run at ..."). Needs an application object.
QString ScheduleStatus();
