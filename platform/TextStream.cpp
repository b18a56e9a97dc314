#include "TextStream.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace platform {

namespace {

constexpr std::size_t Unknown = SIZE_MAX;

QString describe(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
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

bool isDirectory(int fd) {
    struct _stat64 st;
    return ::_fstat64(fd, &st) == 0 && (st.st_mode & _S_IFDIR) != 0;
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

bool isDirectory(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

#endif

int openFile(const QString& name, int flags) {
    // The name reaches the system as a C string: a NUL inside would open some other file.
    if (name.contains(QChar(0)))
        throw StreamError(describe(EINVAL));
    const int fd = sysOpen(name, flags);
    if (fd < 0)
        throw StreamError(describe(errno));
    // Reading a folder opens fine and fails only at the first read; say so now instead.
    if (isDirectory(fd)) {
        sysClose(fd);
        throw StreamError(describe(EISDIR));
    }
    return fd;
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

void TextStream::requireOpen() const {
    if (m_fd < 0)
        throw StreamError(QStringLiteral("The file is closed"));
}

void TextStream::requireReading() const {
    requireOpen();
    if (m_writing)
        throw StreamError(QStringLiteral("Bad file mode: the file is open for writing"));
}

void TextStream::requireWriting() const {
    requireOpen();
    if (!m_writing)
        throw StreamError(QStringLiteral("Bad file mode: the file is open for reading"));
}

bool TextStream::fill() {
    m_pos = m_end = 0;
    m_nextLf = m_nextCr = Unknown;
    if (m_eof)
        return false;
    qint64 n;
    do
        n = sysRead(m_fd, m_buffer.get(), BufferSize);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        throw StreamError(describe(errno));
    if (n == 0) {
        m_eof = true;
        return false;
    }
    m_end = std::size_t(n);
    return true;
}

std::size_t TextStream::findLineEnd() {
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

bool TextStream::AtEndOfStream() {
    requireReading();
    return m_pos == m_end && !fill();
}

QByteArray TextStream::ReadLine() {
    requireReading();
    QByteArray line;
    for (;;) {
        if (m_pos == m_end && !fill())
            return line;
        const std::size_t eol = findLineEnd();
        const char* start = m_buffer.get() + m_pos;
        if (line.isNull())
            line = QByteArray(start, qsizetype(eol - m_pos));
        else
            line.append(start, qsizetype(eol - m_pos));
        m_pos = eol;
        if (eol == m_end)
            continue;
        ++m_pos;
        if (m_buffer[eol] == '\r') {
            // The LF of a CR LF may be the first byte of the next buffer.
            if (m_pos == m_end)
                fill();
            if (m_pos < m_end && m_buffer[m_pos] == '\n')
                ++m_pos;
        }
        return line;
    }
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

void TextStream::WriteLine(const QByteArray& strLine) {
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

void TextStream::Close() {
    if (m_fd < 0)
        return;
    QString failure;
    if (m_writing) {
        const bool clean = m_writeError.isEmpty();
        flush();
        if (clean)
            failure = m_writeError;
    }
    // The descriptor is gone after close() whatever it answers, EINTR included.
    const int rc = sysClose(m_fd);
    const int closeErrno = errno;
    m_fd = -1;
    m_buffer.reset();
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
    const int flags = O_WRONLY | O_CREAT | (overwrite ? O_TRUNC : O_EXCL);
    return std::unique_ptr<TextStream>(new TextStream(openFile(strFileName, flags), true));
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
        new TextStream(openFile(strFileName, flags), iomode != ForReading));
}

} // namespace platform
