#pragma once

#include <QString>

namespace platform {

enum class NoticeUrgency { Low = 0, Normal = 1, Critical = 2 };

// Shows a notice on the user's desktop through the session's notification server
// (org.freedesktop.Notifications), or on Windows as a balloon from the notification area.
// False when none took it: no session bus, no server on it, or no answer within a few
// seconds; on Windows, no notification area. Nothing else happens either way.
bool ShowDesktopNotice(const QString& summary, const QString& body, NoticeUrgency urgency);

} // namespace platform
