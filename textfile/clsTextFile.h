#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>

#include "TextFileError.h"

namespace platform {
class FileSystemObject;
class TextStream;
} // namespace platform

// One text file at a time, opened in the caller's mode and read or written a line at a time,
// as bytes. A failed open is shown to the user here ("Open File") and answered with false;
// every other failure reaches the caller as a TextFileError. Only the line in hand is held.
class clsTextFile {
public:
    clsTextFile();
    ~clsTextFile();
    clsTextFile(const clsTextFile&) = delete;
    clsTextFile& operator=(const clsTextFile&) = delete;

    // Mode 2 creates the file, replacing one of that name. Mode 1 reads an existing file (a
    // missing one is an open failure: reading must never leave an empty file behind). Any other
    // mode goes to the file system as it is and creates a missing file. A non-empty folder
    // without a trailing separator gets one, in the caller's variable.
    bool OpenFile(QString& strFilePath, const QString& strFileName, int iomode);
    void WriteLine(QByteArrayView strLine);
    // The next line without its end, or "" at the end of the file (not counted).
    QByteArray ReadLine();
    // At most maxSize bytes of the line, for a caller that must not hold a whole line, however
    // long; lineEnded tells whether the line ends after them, and only then is it counted.
    QByteArray ReadLinePart(qsizetype maxSize, bool& lineEnded);
    // The same without a copy: the bytes where they lie in the file's buffer, for a caller
    // that is done with them before its next call on this file. A line longer than the
    // buffer comes in parts whatever maxSize says.
    QByteArrayView ReadLineView(qsizetype maxSize, bool& lineEnded);
    // Bytes of a line whose end comes with a later WriteLine, which counts the line.
    void WritePart(QByteArrayView strPart);
    bool EndOfFile();
    // Never reports anything; the counters and WriteFailure() keep their values.
    void CloseFile();
    qint32 LinesWrote() const;
    qint32 LinesRead() const;
    // "" while everything written since the last successful open, the close included, has
    // reached the file; otherwise why not. A write that fails is not raised by WriteLine:
    // the file is written through a buffer, so the failure may only show at a later line or at
    // the close, and asking once at the end covers every case.
    QString WriteFailure() const;

private:
    friend class tst_TextFile; // presets the counters to try the overflow

    std::unique_ptr<platform::FileSystemObject> objFileSystem;
    std::unique_ptr<platform::TextStream> objTextStream;
    qint32 lngLinesWrote = 0;
    qint32 lngLinesRead = 0;
    QString strWriteFailure;

    // On the path of every line: the check inline, the failure out of line.
    platform::TextStream& stream() const {
        if (!objTextStream) [[unlikely]]
            throwNoStream();
        return *objTextStream;
    }
    [[noreturn]] static void throwNoStream();
};
