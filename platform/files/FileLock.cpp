#include "FileLock.h"

#include "SysFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef Q_OS_WIN
#include <io.h>
#include <share.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace platform {

using namespace sysfile;

FileLock::FileLock(QString strFileName) : m_name(std::move(strFileName)) {}

FileLock::~FileLock() {
    Unlock();
}

FileLock::State FileLock::TryLock() {
    if (m_fd >= 0)
        return State::Locked;
    if (m_name.contains(QChar(0)))
        return State::Unavailable;
    return takeLock();
}

#ifdef Q_OS_WIN

FileLock::State FileLock::takeLock() {
    // Opened shared with nobody: a second opener is refused until this handle is closed.
    int fd = -1;
    const errno_t error = ::_wsopen_s(&fd, reinterpret_cast<const wchar_t*>(m_name.utf16()),
                                      _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYRW,
                                      _S_IREAD | _S_IWRITE);
    if (error != 0)
        return error == EACCES ? State::Busy : State::Unavailable;
    m_fd = fd;
    return State::Locked;
}

void FileLock::Unlock() {
    if (m_fd < 0)
        return;
    ::_close(m_fd);
    m_fd = -1;
    // Fails harmlessly when another run has opened it in the meantime.
    ::_wunlink(reinterpret_cast<const wchar_t*>(m_name.utf16()));
}

#else

FileLock::State FileLock::takeLock() {
    const QByteArray native = QFile::encodeName(m_name);
    // A few rounds at most: each one that finds the file gone again means that another run
    // has just finished with it.
    for (int round = 0; round < 3; ++round) {
        const int fd = sysOpen(m_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            return State::Unavailable;
        struct stat held;
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            ::close(fd);
            return State::Unavailable;
        }
        int rc;
        do
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int error = errno;
            ::close(fd);
            return error == EWOULDBLOCK ? State::Busy : State::Unavailable;
        }
        // Whoever held it before removed the file as it let go; a lock on a file that is no
        // longer under the name guards nothing.
        struct stat named;
        if (::lstat(native.constData(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            m_fd = fd;
            return State::Locked;
        }
        ::close(fd);
    }
    return State::Busy;
}

void FileLock::Unlock() {
    if (m_fd < 0)
        return;
    // Removed while still held, so that nobody can take a lock on the name and lose it again.
    ::unlink(QFile::encodeName(m_name).constData());
    ::close(m_fd);
    m_fd = -1;
}

#endif

} // namespace platform
