#include "SysFile.h"

#include "TextStream.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace platform::sysfile {
QString describe(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why a file that is not an ordinary one is refused, by its type.
QString notOrdinary(const char* what) {
    return QStringLiteral("Is %1, not an ordinary file; use an ordinary file instead")
        .arg(QLatin1String(what));
}

#ifdef Q_OS_WIN

int sysOpen(const QString& name, int flags) {
    return ::_wopen(reinterpret_cast<const wchar_t*>(name.utf16()),
                    flags | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

qint64 sysRead(int fd, char* data, std::size_t size) {
    return ::_read(fd, data, unsigned(std::min<std::size_t>(size, INT_MAX)));
}

qint64 sysWrite(int fd, const char* data, std::size_t size) {
    return ::_write(fd, data, unsigned(std::min<std::size_t>(size, INT_MAX)));
}

int sysClose(int fd) {
    return ::_close(fd);
}

bool cutAtWritePosition(int) {
    return true;
}

qint64 fileSize(int fd) {
    struct _stat64 st;
    return ::_fstat64(fd, &st) == 0 && (st.st_mode & _S_IFREG) != 0 ? qint64(st.st_size) : 0;
}

int openFile(const QString& name, int flags, bool forWriting) {
    if (name.contains(QChar(0)))
        throw StreamError(describe(EINVAL));
    const int fd = sysOpen(name, flags);
    if (fd < 0)
        throw StreamError(describe(errno));
    struct _stat64 st;
    if (::_fstat64(fd, &st) == 0) {
        const bool directory = (st.st_mode & _S_IFDIR) != 0;
        const bool ordinary = (st.st_mode & _S_IFREG) != 0;
        if (directory || (!forWriting && !ordinary)) {
            sysClose(fd);
            throw StreamError(directory ? describe(EISDIR) : notOrdinary("a device"));
        }
    }
    return fd;
}

#else

int sysOpen(const QString& name, int flags) {
    const QByteArray native = QFile::encodeName(name);
    int fd;
    do
        fd = ::open(native.constData(), flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

qint64 sysRead(int fd, char* data, std::size_t size) {
    return ::read(fd, data, size);
}

qint64 sysWrite(int fd, const char* data, std::size_t size) {
    return ::write(fd, data, size);
}

int sysClose(int fd) {
    return ::close(fd);
}

bool cutAtWritePosition(int fd) {
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < 0)
        return false;
    int rc;
    do
        rc = ::ftruncate(fd, end);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

qint64 fileSize(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? qint64(st.st_size) : 0;
}

QString describeType(mode_t mode) {
    if (S_ISDIR(mode))
        return describe(EISDIR);
    if (S_ISFIFO(mode))
        return notOrdinary("a named pipe");
    if (S_ISSOCK(mode))
        return notOrdinary("a socket");
    if (S_ISLNK(mode))
        return QStringLiteral("Is a symbolic link, and a file is never written through one; "
                              "remove the link and try again");
    return notOrdinary("a device");
}

int openFile(const QString& name, int flags, bool forWriting) {
    // The name reaches the system as a C string: a NUL inside would open some other file.
    if (name.contains(QChar(0)))
        throw StreamError(describe(EINVAL));
    // Without O_NONBLOCK, opening a pipe waits for its other end, maybe for ever.
    flags |= O_NONBLOCK;
    if (forWriting)
        flags |= O_NOFOLLOW;
    const int fd = sysOpen(name, flags);
    if (fd < 0) {
        const int error = errno;
        // Say what stands there rather than "Too many levels of symbolic links" or "No such
        // device or address" (a pipe nobody reads).
        struct stat st;
        if (forWriting && (error == ELOOP || error == ENXIO) &&
            ::lstat(QFile::encodeName(name).constData(), &st) == 0 &&
            (S_ISLNK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
            throw StreamError(describeType(st.st_mode));
        throw StreamError(describe(error));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        sysClose(fd);
        throw StreamError(describe(error));
    }
    // Reading a folder opens fine and fails only at the first read; say so now instead.
    const bool refused =
        S_ISDIR(st.st_mode) ||
        (forWriting ? S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) : !S_ISREG(st.st_mode));
    if (refused) {
        sysClose(fd);
        throw StreamError(describeType(st.st_mode));
    }
    // A device written to (/dev/full, a terminal) is written as usual, waiting if it must.
    const int status = ::fcntl(fd, F_GETFL);
    if (status != -1)
        ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

#endif

} // namespace platform::sysfile
