#pragma once

#include <QString>
#include <QStringList>

class frmTallyhost;

// The program's arguments (without the program path), upper-cased, as Main found them.
extern QString strCommandLine;

// The arguments as one upper-cased line.
QString CommandLineText(const QStringList& arguments);
// True when the unattended switch "/A" stands anywhere in the line, even inside a longer word.
bool HasUnattendedSwitch(const QString& commandLine);
// True for a run that nobody watches: "/A", and the watcher ("--watch"). Nothing is asked, no
// new certificate or host key is trusted, success is not announced, and with "publish only
// when changed" an unchanged page is not uploaded again.
bool RunsUnattended();
// True when the run was started by the program's own schedule (its timer or watcher), not by
// "/A" typed by hand or put in a crontab.
bool StartedBySchedule();

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
// PublishedAlready), and, where the settings name the page's address (PageURL), visitors see
// it there. A request made while an upload is running is ignored and answers false.
bool UploadPage();

// True while an upload runs that someone has asked to stop.
bool UploadCancelled();
// True while the whole page is on the server and is being put in place: stopped now, the
// server may keep the old page or the new one.
bool UploadReplacing();
// Stops the running upload (the window's Cancel button and Esc) within a second: the page on
// the server stays as it was, the page written for it is removed, and the history says it was
// cancelled. Nothing happens when no upload runs.
void CancelUpload();
// The main window is being closed from its frame: true when it may close. While an upload
// runs, asks whether to stop it, and stops it when told to; no upload goes on unseen.
bool QueryUnload();

void OpenWebsite();

// Shows an error that nothing else caught, then ends the process with status 2.
void ReportUnexpectedError(const QString& what);
