#pragma once

#include <QString>

class frmOptions;
class frmTray;

// The icon in the notification area: a view of the watcher, never a second one. What it
// shows comes from the watcher's own state (watch.json) and the history of publishes.

// "--tray": shows the icon until it is quit, or until its entry among the programs started at
// log-on is removed. One icon at a time: a second one ends at once with status 0. Ends with 1,
// after one line on standard error, when the desktop shows no notification area within a
// minute. Needs an application object.
int RunTray();

// Shows on the icon what the watcher does now: the page up to date (the address, where and
// when), publishing failing (why), working; or that nothing watches.
void ShowWatcherState(frmTray& tray);

// Connects the icon's menu and keeps the icon in step with the watcher's state. Publish now
// asks the watcher, or without one runs program with "/A" once; Open Vantrell starts program.
// When the entry that starts the icon at log-on existed and goes, the icon quits.
void ConnectTray(frmTray& tray, const QString& program);

// Tools > Options: whether the icon starts at log-on ("Show in the notification area").
void LoadTrayOption(frmOptions& dialog);
// Puts the entry in place (and shows the icon now) or removes it (and the icon goes).
void ApplyTrayOption(frmOptions& dialog);
