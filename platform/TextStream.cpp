#include "TextStream.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

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

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace platform {

namespace {

constexpr std::size_t Unknown = SIZE_MAX;

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

// Windows files are emptied when opened for rewriting.
constexpr int InPlaceRewrite = O_TRUNC;

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

constexpr int InPlaceRewrite = 0;

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

// Where the first LF or CR lies in [data, data + size), or size.
std::size_t firstLineEnd(const char* data, std::size_t size) {
    const void* lf = std::memchr(data, '\n', size);
    const std::size_t limit = lf ? std::size_t(static_cast<const char*>(lf) - data) : size;
    const void* cr = std::memchr(data, '\r', limit);
    return cr ? std::size_t(static_cast<const char*>(cr) - data) : limit;
}

// A line of many megabytes would otherwise take a page fault per 4 KiB as it is filled, which
// costs more than reading it. Only advice: where the kernel declines, nothing changes.
void adviseHugePages(QByteArray& line) {
#ifdef Q_OS_LINUX
    constexpr std::uintptr_t Huge = std::uintptr_t(2) << 20;
    if (line.capacity() < qsizetype(2 * Huge))
        return;
    const auto start = reinterpret_cast<std::uintptr_t>(line.data());
    const std::uintptr_t begin = (start + Huge - 1) & ~(Huge - 1);
    const std::uintptr_t end = (start + std::uintptr_t(line.capacity())) & ~(Huge - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(line);
#endif
}

} // namespace

StreamError::StreamError(const QString& description)
    : std::runtime_error(description.toUtf8().toStdString()) {}

TextStream::TextStream(int fd, bool forWriting)
    : m_fd(fd), m_writing(forWriting), m_buffer(std::make_unique_for_overwrite<char[]>(BufferSize)),
      m_nextLf(Unknown), m_nextCr(Unknown) {}

TextStream::~TextStream() {
    try {
        Close();
    } catch (const StreamError&) {
        // Whoever cares has asked WriteError() or closed the stream before.
    }
}

void TextStream::throwMisuse(bool wantedWriting) const {
    if (m_fd < 0)
        throw StreamError(QStringLiteral("The file is closed"));
    throw StreamError(wantedWriting
                          ? QStringLiteral("Bad file mode: the file is open for reading")
                          : QStringLiteral("Bad file mode: the file is open for writing"));
}

std::size_t TextStream::readSome(char* data, std::size_t size) {
    qint64 n;
    do
        n = sysRead(m_fd, data, size);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        throw StreamError(describe(errno));
    if (n == 0)
        m_eof = true;
    m_offset += n;
    return std::size_t(n);
}

bool TextStream::fill() {
    for (;;) {
        m_pos = m_end = 0;
        m_nextLf = m_nextCr = Unknown;
        if (!m_eof)
            m_end = readSome(m_buffer.get(), BufferSize);
        if (m_skipLf && m_end > 0) {
            m_skipLf = false;
            if (m_buffer[0] == '\n')
                m_pos = 1;
        }
        if (m_pos < m_end || m_end == 0)
            return m_pos < m_end;
    }
}

// On the path of every line, like the check before each readOnIfCut: kept inline.
inline std::size_t TextStream::findLineEnd() {
    const char* base = m_buffer.get();
    const auto next = [&](std::size_t& cached, char c) {
        if (cached == Unknown || cached < m_pos) {
            const void* hit = std::memchr(base + m_pos, c, m_end - m_pos);
            cached = hit ? std::size_t(static_cast<const char*>(hit) - base) : m_end;
        }
        return cached;
    };
    return std::min(next(m_nextLf, '\n'), next(m_nextCr, '\r'));
}

void TextStream::skipLfAfterCr() {
    // The LF of a CR LF may be the first byte of the next buffer, which is read only when
    // needed: a line just handed out as a view lies in this one.
    if (m_pos == m_end)
        m_skipLf = true;
    else if (m_buffer[m_pos] == '\n')
        ++m_pos;
}

void TextStream::readOnIfCut(std::size_t& eol) {
    if (eol == m_end && m_end - m_pos < BufferSize && !m_eof) {
        // A line cut by the end of what was read: move its start to the front and read on.
        const std::size_t rest = m_end - m_pos;
        std::memmove(m_buffer.get(), m_buffer.get() + m_pos, rest);
        m_pos = 0;
        m_end = rest;
        m_nextLf = m_nextCr = Unknown;
        m_end += readSome(m_buffer.get() + rest, BufferSize - rest);
        eol = findLineEnd();
    }
}

QByteArray TextStream::takeLine(std::size_t size) {
    // The storage of the line handed out last is used again once the caller has let go of
    // it: for short lines the allocation would otherwise cost more than everything else.
    if (m_line.isDetached())
        m_line.resize(qsizetype(size));
    else
        m_line = QByteArray(qsizetype(size), Qt::Uninitialized);
    if (size > 0)
        std::memcpy(m_line.data(), m_buffer.get() + m_pos, size);
    m_pos += size;
    return m_line;
}

QByteArray TextStream::ReadLine() {
    requireReading();
    if (m_pos == m_end && !fill())
        return {};
    std::size_t eol = findLineEnd();
    if (eol == m_end)
        readOnIfCut(eol);
    if (eol == m_end)
        return readLongLine();
    QByteArray line = takeLine(eol - m_pos);
    m_pos = eol + 1;
    if (m_buffer[eol] == '\r')
        skipLfAfterCr();
    return line;
}

QByteArrayView TextStream::ReadLineView(std::size_t maxSize, bool& lineEnded) {
    requireReading();
    lineEnded = true;
    if (m_pos == m_end && !fill())
        return {};
    std::size_t eol = findLineEnd();
    if (eol == m_end)
        readOnIfCut(eol);
    const char* const start = m_buffer.get() + m_pos;
    const std::size_t limit = std::max<std::size_t>(maxSize, 1);
    if (eol - m_pos > limit) {
        lineEnded = false;
        m_pos += limit;
        return {start, qsizetype(limit)};
    }
    const auto size = qsizetype(eol - m_pos);
    if (eol < m_end) {
        m_pos = eol + 1;
        if (m_buffer[eol] == '\r')
            skipLfAfterCr();
    } else if (m_eof) {
        m_pos = m_end; // the last line, without a line end
    } else {
        // The line fills the buffer. Its last byte stays behind, so that the line is known to
        // go on, and the next part starts with it.
        lineEnded = false;
        m_pos = m_end - 1;
        return {start, size - 1};
    }
    return {start, size};
}

QByteArray TextStream::readLongLine() {
    QByteArray line(m_buffer.get() + m_pos, qsizetype(m_end - m_pos));
    m_pos = m_end;
    if (m_eof)
        return line; // the last line, without a line end
    // Growing a line of many megabytes step by step copies it again and again. The rest of the
    // file bounds the line, so reserve that at once: memory that is never written costs
    // nothing, and what the line does not need is given back below.
    constexpr qint64 MaxGuess = qint64(1) << 30;
    const qint64 left = std::min(fileSize(m_fd) - m_offset, MaxGuess);
    if (left > 0) {
        try {
            line.reserve(line.size() + qsizetype(left) + 1);
        } catch (const std::bad_alloc&) {
            // Then the line grows as it comes.
        }
        adviseHugePages(line);
    }
    for (;;) {
        const qsizetype have = line.size();
        if (line.capacity() == have) {
            line.reserve(std::max(2 * have, have + qsizetype(BufferSize)));
            adviseHugePages(line);
        }
        // Read straight into the line, so that a line of many megabytes is copied only once.
        const auto room = std::min(std::size_t(line.capacity() - have), BufferSize);
        line.resize(have + qsizetype(room));
        char* const fresh = line.data() + have;
        const std::size_t n = readSome(fresh, room);
        const std::size_t eol = firstLineEnd(fresh, n);
        if (eol == n) {
            line.resize(have + qsizetype(n));
            if (n == 0)
                break;
            continue;
        }
        // What follows the line end goes back into the buffer for the lines after it.
        const bool cr = fresh[eol] == '\r';
        m_pos = 0;
        m_end = n - eol - 1;
        m_nextLf = m_nextCr = Unknown;
        std::memcpy(m_buffer.get(), fresh + eol + 1, m_end);
        line.resize(have + qsizetype(eol));
        if (cr)
            skipLfAfterCr();
        break;
    }
    if (line.capacity() > line.size() + line.size() / 2)
        line.squeeze();
    return line;
}

void TextStream::writeOut(const char* data, std::size_t size) {
    while (size > 0 && m_writeError.isEmpty()) {
        const qint64 n = sysWrite(m_fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_writeError = describe(n < 0 ? errno : EIO);
            return;
        }
        data += n;
        size -= std::size_t(n);
    }
}

void TextStream::flush() {
    writeOut(m_buffer.get(), m_end);
    m_end = 0;
}

void TextStream::WriteLine(QByteArrayView strLine) {
    requireWriting();
    if (!m_writeError.isEmpty())
        return;
    const std::size_t size = std::size_t(strLine.size());
    if (size + 2 > BufferSize - m_end)
        flush();
    if (size + 2 <= BufferSize - m_end) {
        std::memcpy(m_buffer.get() + m_end, strLine.constData(), size);
        m_end += size;
    } else {
        writeOut(strLine.constData(), size);
    }
    m_buffer[m_end++] = '\r';
    m_buffer[m_end++] = '\n';
}

void TextStream::Write(const char* data, std::size_t size) {
    requireWriting();
    if (!m_writeError.isEmpty())
        return;
    if (size > BufferSize - m_end)
        flush();
    if (size > BufferSize - m_end) {
        writeOut(data, size);
    } else if (size > 0) {
        std::memcpy(m_buffer.get() + m_end, data, size);
        m_end += size;
    }
}

void TextStream::Close() {
    if (m_fd < 0)
        return;
    QString failure;
    if (m_writing) {
        const bool clean = m_writeError.isEmpty();
        flush();
        if (clean)
            failure = m_writeError;
        // Also after a failed write: the file then ends where the writing stopped, as when it
        // was emptied at the start.
        if (m_cutAtClose && !cutAtWritePosition(m_fd) && failure.isEmpty()) {
            failure = describe(errno);
            if (clean)
                m_writeError = failure;
        }
    }
    // The descriptor is gone after close() whatever it answers, EINTR included.
    const int rc = sysClose(m_fd);
    const int closeErrno = errno;
    m_fd = -1;
    m_buffer.reset();
    m_line = QByteArray();
    m_pos = m_end = 0;
    if (rc != 0 && closeErrno != EINTR && failure.isEmpty()) {
        failure = describe(closeErrno);
        if (m_writing && m_writeError.isEmpty())
            m_writeError = failure;
    }
    if (!failure.isEmpty())
        throw StreamError(failure);
}

std::unique_ptr<TextStream> FileSystemObject::CreateTextFile(const QString& strFileName,
                                                             bool overwrite) {
    if (!overwrite)
        return std::unique_ptr<TextStream>(
            new TextStream(openFile(strFileName, O_WRONLY | O_CREAT | O_EXCL, true), true));
    // An ordinary file is written over its old content rather than emptied first: freeing the
    // old blocks and allocating them again costs more than the writing itself (a 100 MB page
    // is written in about half the time). What is left of the old content goes at Close.
    const int fd = openFile(strFileName, O_WRONLY | O_CREAT | InPlaceRewrite, true);
    const bool inPlace = InPlaceRewrite != O_TRUNC && fileSize(fd) > 0;
    auto stream = std::unique_ptr<TextStream>(new TextStream(fd, true));
    stream->m_cutAtClose = inPlace;
    return stream;
}

std::unique_ptr<TextStream> FileSystemObject::OpenTextFile(const QString& strFileName, int iomode,
                                                           bool create) {
    int flags;
    switch (iomode) {
    case ForReading:
        flags = O_RDONLY;
        break;
    case ForWriting:
        flags = O_WRONLY | O_TRUNC;
        break;
    case ForAppending:
        flags = O_WRONLY | O_APPEND;
        break;
    default:
        throw StreamError(QStringLiteral("Bad file mode %1").arg(iomode));
    }
    if (create)
        flags |= O_CREAT;
    return std::unique_ptr<TextStream>(
        new TextStream(openFile(strFileName, flags, iomode != ForReading), iomode != ForReading));
}

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

bool FileSystemObject::SameFile(const QString& first, const QString& second) const {
    // The volume and the file's index name one file, whichever link or path leads to it.
    const auto identify = [](const QString& name, BY_HANDLE_FILE_INFORMATION& info) {
        const HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(name.utf16()), 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
        ::CloseHandle(h);
        return ok;
    };
    if (first.contains(QChar(0)) || second.contains(QChar(0)))
        return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return identify(first, a) && identify(second, b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

QString FileSystemObject::MakePrivateFolder(const QString&) const {
    return {};
}

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

bool FileSystemObject::SameFile(const QString& first, const QString& second) const {
    if (first.isEmpty() || second.isEmpty() || first.contains(QChar(0)) ||
        second.contains(QChar(0)))
        return false;
    struct stat a;
    struct stat b;
    return ::stat(QFile::encodeName(first).constData(), &a) == 0 &&
           ::stat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

QString FileSystemObject::MakePrivateFolder(const QString& strFolder) const {
    const QByteArray native = QFile::encodeName(strFolder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        return describe(errno) + QStringLiteral(". Check that the folder ") +
               QDir::toNativeSeparators(QFileInfo(strFolder).path()) +
               QStringLiteral(" exists and that you may write in it");
    }
    // Opened without following a link, so that what is checked is what is used.
    int fd;
    do
        fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        struct stat st;
        if (::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode))
            return QStringLiteral("it is a symbolic link, not a folder of your own. Remove the "
                                  "link; the folder is then made anew");
        if (error == ENOTDIR)
            return QStringLiteral("it is a file, not a folder. Remove or rename it; the folder is "
                                  "then made in its place");
        return describe(error);
    }
    struct stat st;
    QString problem;
    if (::fstat(fd, &st) != 0) {
        problem = describe(errno);
    } else if (st.st_uid != ::geteuid()) {
        problem = QStringLiteral("it belongs to another user, who could change or replace the "
                                 "page. Have it removed (by its owner or an administrator); the "
                                 "folder is then made anew as your own");
    } else if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        problem = describe(errno);
    }
    ::close(fd);
    return problem;
}

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

unsigned CurrentUserId() {
    return unsigned(::geteuid());
}

#endif

} // namespace platform
