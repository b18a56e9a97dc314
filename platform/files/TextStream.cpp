#include "TextStream.h"

#include "SysFile.h"

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

using namespace sysfile;

namespace {

constexpr std::size_t Unknown = SIZE_MAX;

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

} // namespace platform
