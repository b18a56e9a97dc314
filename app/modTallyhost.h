#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

class frmHistory;
class frmTallyhost;

// The program's arguments (without the program path), upper-cased, as Main found them.
extern QString strCommandLine;

// The arguments as one upper-cased line.
QString CommandLineText(const QStringList& arguments);
// True when the unattended switch "/A" stands anywhere in the line, even inside a longer word.
bool HasUnattendedSwitch(const QString& commandLine);

// Start-up: show the main window, fill it from the settings store, and with "/A" publish once
// and end.
void Main();
// Saves the fields, unloads the main window and ends the process with the given status (at
// least 1 when it cuts an unattended upload short). During an upload from the window it first
// asks whether to stop it, and ends once the upload has stopped.
void ExitProgram(int status = 0);

// The one main window, created on first reference.
frmTallyhost& MainForm();
bool MainFormLoaded();

void LoadSettings();
void SaveSettings();
// Says which keys of the settings file stand where the program does not read them (in another
// section, or spelled in other cases). False when there are any.
bool ReportMisplacedSettings();

bool ValidateFields();

// Builds the page from the template and uploads it. True when the page reached the server,
// or when an unattended run found that the server has this same page already (see
// PublishedAlready). A request made while an upload is running is ignored and answers false.
bool UploadPage();

// True while an upload runs that someone has asked to stop.
bool UploadCancelled();
// Stops the running upload (the window's Cancel button and Esc) within a second: the page on
// the server stays as it was, the page written for it is removed, and the history says it was
// cancelled. Nothing happens when no upload runs.
void CancelUpload();
// The main window is being closed from its frame: true when it may close. While an upload
// runs, asks whether to stop it, and stops it when told to; no upload goes on unseen.
bool QueryUnload();

// Tools > History...: every publish attempt kept, newest first, modal over the main window.
void ShowHistory();
void LoadHistory(frmHistory& dialog);

// Where the page is written before it is uploaded: windir's "temp" folder, or without windir
// a folder of the user's own ($XDG_RUNTIME_DIR/vantrell, else vantrell-<uid> in the temporary
// folder), which the upload makes when missing; on Windows "\temp" of the current drive.
QString PageFolder();

// How long an upload waits while another copy of the program publishes the same page
// (150 s unless changed).
void SetPageLockPatience(std::chrono::milliseconds patience);

// The page line with the IP marker, the IPv6 marker, "%date%" or "%Date%" and "%time%" or
// "%Time%" put in their places.
QByteArray FillLine(const QByteArray& line, const QByteArray& ipMarker, const QByteArray& ip,
                    const QByteArray& date, const QByteArray& time,
                    const QByteArray& ipv6Marker = {}, const QByteArray& ipv6 = {});
// Today's date as "Sep 24 2000" and the time in the locale's own format with seconds.
QString PageDate();
QString PageTime();

void OpenWebsite();

// Shows an error that nothing else caught, then ends the process with status 2.
void ReportUnexpectedError(const QString& what);
