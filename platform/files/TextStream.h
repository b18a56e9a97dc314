#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstddef>
#include <memory>
#include <stdexcept>

namespace platform {

// A failure of the file system or of a stream. what() is the description a person reads in the
// open failure message, in the words of the operating system ("No such file or directory").
class StreamError : public std::runtime_error {
public:
    explicit StreamError(const QString& description);
    QString description() const { return QString::fromUtf8(what()); }
};

// Open modes, with the values the text file class passes through unchanged.
enum IOMode : int { ForReading = 1, ForWriting = 2, ForAppending = 8 };

// One open file, read or written a line at a time, as bytes. A line read ends at LF, CR LF or a
// lone CR and is handed back without its end; every line written gets CR LF. Reads and writes go
// through a buffer, so a file of any size costs one buffer plus the line in hand.
//
// Failures of the disk while writing (a full disk, a quota, an I/O error) are not thrown: the
// first one is kept in WriteError() and nothing more is written, so a file with a gap in the
// middle can never come about. Misuse (reading a writer, writing a reader, a closed stream) and
// read failures are thrown as StreamError.
class TextStream {
public:
    // Big enough that a read or write costs next to nothing per line.
    static constexpr std::size_t BufferSize = 128 * 1024;

    ~TextStream();
    TextStream(const TextStream&) = delete;
    TextStream& operator=(const TextStream&) = delete;

    bool AtEndOfStream() {
        requireReading();
        return m_pos == m_end && !fill();
    }
    QByteArray ReadLine();
    void WriteLine(QByteArrayView strLine);

    // The line being read, or at most maxSize bytes of it, seen where it lies in the stream's
    // buffer: nothing is copied, and the view holds until the next call on this stream. A line
    // longer than the buffer comes in several parts, so that a line of any length is taken in
    // bounded memory. lineEnded tells whether the line ends after the part (its end, or the end
    // of the file, is then consumed); when it does not, more of the line is left to read.
    // Parts read up to a line end, joined, make what ReadLine would have answered.
    QByteArrayView ReadLineView(std::size_t maxSize, bool& lineEnded);
    // The bytes without a line end: the rest of the line follows in later calls and WriteLine.
    void Write(const char* data, std::size_t size);

    // Writes what is buffered and closes the file. Throws when that write or the close fails
    // (the failure is kept in WriteError() as well); the stream is closed either way. Closing a
    // closed stream does nothing.
    void Close();

    // "" while everything handed to this stream has been written (or is still in the buffer);
    // otherwise why it was not.
    QString WriteError() const { return m_writeError; }

private:
    friend class FileSystemObject;
    TextStream(int fd, bool forWriting);

    // Inline: they sit on the path of every line; the failures are out of line.
    void requireReading() const {
        if (m_fd < 0 || m_writing) [[unlikely]]
            throwMisuse(false);
    }
    void requireWriting() const {
        if (m_fd < 0 || !m_writing) [[unlikely]]
            throwMisuse(true);
    }
    [[noreturn]] void throwMisuse(bool wantedWriting) const;
    std::size_t readSome(char* data, std::size_t size);
    bool fill();
    void skipLfAfterCr();
    QByteArray readLongLine();
    void flush();
    void writeOut(const char* data, std::size_t size);
    std::size_t findLineEnd();
    void readOnIfCut(std::size_t& eol);
    QByteArray takeLine(std::size_t size);

    int m_fd = -1;
    bool m_writing = false;
    // The file was opened over its old content, which is cut off after what was written when
    // the stream closes.
    bool m_cutAtClose = false;
    bool m_eof = false;
    // A CR ended the buffer: an LF that starts the next one belongs to it.
    bool m_skipLf = false;
    qint64 m_offset = 0; // bytes read from the file so far
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    // Where the next LF and CR lie in the buffer (m_end: none left). Kept between lines, so
    // that a buffer with one kind of line end is scanned once for the other kind, not per line.
    std::size_t m_nextLf = 0;
    std::size_t m_nextCr = 0;
    // The line handed out last; its storage serves the next line once the caller drops it.
    QByteArray m_line;
    QString m_writeError;
};

} // namespace platform
