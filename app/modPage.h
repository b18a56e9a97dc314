#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class QLineEdit;
class clsTextInputFile;
class clsTextOutputFile;
class frmTallyhost;

namespace platform {
class FileLock;
}

// The page on this machine: the folder it is written in, its lock, and its lines.

// Where the page is written before it is uploaded: windir's "temp" folder, or without windir
// a folder of the user's own ($XDG_RUNTIME_DIR/vantrell, else vantrell-<uid> in the temporary
// folder), which the upload makes when missing; on Windows "\temp" of the current drive.
QString PageFolder();

// A name in a folder, joined with the platform's separator.
QString InFolder(const QString& folder, const QString& name);

// False, after saying why, when the page folder is not one the page may be written in. A
// folder of the user's own is made when missing.
bool PreparePageFolder(const QString& folder);

// False, after saying why, when the upload file name is no plain file name: the page is
// written under it in the page folder and must stay there.
bool CheckUploadFileName(QLineEdit& field);

// Waits, the window live, while another copy of the program publishes the same page, and
// answers the lock once this one may write it. Null when the upload was cancelled meanwhile or
// the other one took too long (said in a message).
std::unique_ptr<platform::FileLock> LockPage(frmTallyhost& form, const QString& pageFolder,
                                             const QString& uploadFileName);

// How long LockPage waits (150 s unless changed).
void SetPageLockPatience(std::chrono::milliseconds patience);

// Writes the page from the template, the markers filled. The IPv6 address is asked for when
// the page first needs it.
void WritePage(clsTextInputFile& reader, clsTextOutputFile& writer, const QByteArray& ipMarker,
               const QByteArray& ipv6Marker, const QByteArray& ip,
               const std::function<QByteArray()>& lookUpIPv6);
