#pragma once

#include <QString>

#include <memory>

class frmTallyhost;

namespace platform {
class FileLock;
}

// The page's way to the server, through the main window's transfer control.

// What one upload works from. The window stays live while an upload waits (for the address,
// another run's page, the server); what is typed meanwhile is for the next upload, never checked
// halfway into this one.
struct JobFields {
    QString templatePath;
    QString ipMarker; // without the spaces around it
    QString site;
    QString userName;
    QString password;
    QString uploadFileName;
    QString uploadDir;
};

JobFields ReadJobFields(const frmTallyhost& form);

// Sends the page written at pagePath to the site as typed, with its own scheme or plain FTP
// without one, and tells the status line where it has got to. A server whose certificate or
// host key is new is asked about, and once trusted the page goes again. False, after saying
// why, when the page did not reach the server, or without a word when the upload was
// cancelled. The page's lock is let go before anything is said, so that another run waiting
// for the page need not wait for someone to read it. `replacing` is true while the whole page
// is on the server and is being put in place.
bool SendPage(frmTallyhost& form, const JobFields& job, const QString& pagePath,
              std::unique_ptr<platform::FileLock>& pageLock, bool& replacing);
