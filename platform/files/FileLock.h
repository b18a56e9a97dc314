#pragma once

#include <QString>

namespace platform {

// An exclusive lock held through a file of its own (a name beside the file it guards) for as
// long as the object lives or until Unlock(); the file is removed when the lock is let go. The
// system lets go of it when the process ends however it ends, so a lock is never stale, and
// what the file holds is never read: a damaged or planted lock file costs nothing.
class FileLock {
public:
    enum class State { Locked, Busy, Unavailable };

    explicit FileLock(QString strFileName);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Never waits. Busy: someone else holds it. Unavailable: no lock can be made under that
    // name (a missing folder, a folder in its place, a link, a pipe).
    State TryLock();
    void Unlock();

private:
    // Opens and locks the file under a name already checked; the system's own way.
    State takeLock();

    QString m_name;
    int m_fd = -1;
};

} // namespace platform
