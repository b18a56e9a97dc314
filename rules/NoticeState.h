#pragma once

#include <QDateTime>
#include <QString>

namespace platform {

// What the desktop has been told about unattended runs, so that a timer that fails every
// quarter of an hour gives one notice when publishing starts failing and one when it works
// again, not one a run.
struct NoticeState {
    bool failing = false;   // the last unattended run failed
    bool told = false;      // a notice of the failure reached the desktop
    QDateTime failingSince; // the first failed run of the streak
    QString message;        // the last failed run's reason

    // Where it is kept: ${XDG_STATE_HOME:-~/.local/state}/vantrell/notices.json.
    static QString Path();
    // What was kept; a missing or damaged file reads as all well and nothing told.
    static NoticeState Load();
    // Keeps it whole or not at all: two runs at once leave one or the other. False when it
    // could not be written.
    bool Save() const;
};

} // namespace platform
