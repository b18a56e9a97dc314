#pragma once

// What the two schedulers' files (ScheduleSystemd.cpp, ScheduleWindows.cpp) share with
// Schedule.cpp: the range of the interval, and the description where the system keeps it.

#include <QString>

#include <optional>

namespace platform::schedule {

bool validMinutes(int minutes);
// Why an interval outside the range is refused, for LastError().
QString outOfRange();

// The interval goes in the schedule's description, where the system keeps it and shows it to
// whoever lists the timers or tasks; it is read back from there.
QString description(int minutes);
QString watcherDescription(int minutes);
std::optional<int> minutesFromDescription(const QString& text);

} // namespace platform::schedule
