#pragma once

// Files the program opens in the user's folders or where the environment points: its own
// (the history and its lock, the record of what was published, what the desktop was told, the
// upload journal, the schedule's units) and the user's (known_hosts, key files, the certificate
// store). Whatever stands under such a name may be something else than a file: a pipe, whose
// opening or reading waits for a writer for ever; a device such as /dev/zero, which never ends;
// a folder; or a link to somewhere else. Every one of them is opened here, never waited for,
// and only an ordinary file is read or written.

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <chrono>
#include <optional>

class QFile;

namespace platform {

// A link under the name of one of the program's own files was not put there by the program:
// it is refused, never followed. The user's own files may be links.
enum class Links { Refuse, Follow };

// Opens an ordinary file for reading. False for anything else, with the reason in problem
// (left empty when there is no file at all).
bool OpenOrdinaryFile(QFile& file, const QString& path, Links links = Links::Follow,
                      QString* problem = nullptr);

// The whole of an ordinary file of at most `limit` bytes. Nothing when there is no file (problem
// left empty) or it is something else or larger (problem says so).
std::optional<QByteArray> ReadOrdinaryFile(const QString& path, qint64 limit, Links links,
                                           QString* problem = nullptr);

// Writes the file whole: a new file beside it, renamed into place, so that a reader finds the
// old file or the new one, and a link or a pipe under the name is replaced rather than written
// through. A folder under the name stays and the write fails. Not waited for on the disk.
bool WriteFileWhole(const QString& path, const QByteArray& bytes, QString* problem = nullptr,
                    QFileDevice::Permissions permissions = QFileDevice::ReadOwner |
                                                           QFileDevice::WriteOwner);

// Adds the bytes at the end of an ordinary file, making it private to the user where it is
// missing, in one write: at the end even when another run appends at once.
bool AppendToFile(const QString& path, const QByteArray& bytes, Links links,
                  QString* problem = nullptr);

// An exclusive lock, taken in turns with other runs, on a file of its own that is never read,
// for as long as the object lives; the system lets go of it when the process ends, however it
// ends. Taking it waits at most `wait`. Anything but an ordinary file under the name is no
// lock and is never waited on.
class FileTurn {
public:
    FileTurn(const QString& path, std::chrono::milliseconds wait);
    ~FileTurn();
    FileTurn(const FileTurn&) = delete;
    FileTurn& operator=(const FileTurn&) = delete;

    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace platform
