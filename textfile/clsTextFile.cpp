#include "clsTextFile.h"

#include "MsgBox.h"
#include "FileSystemObject.h"

#include <QDir>

#include <algorithm>
#include <limits>

namespace {

constexpr qint32 MaxLines = std::numeric_limits<qint32>::max();

} // namespace

clsTextFile::clsTextFile() = default;

// Releasing the stream closes it and writes out what is still buffered.
clsTextFile::~clsTextFile() = default;

void clsTextFile::throwNoStream() {
    throw TextFileError("No file is open");
}

bool clsTextFile::OpenFile(QString& strFilePath, const QString& strFileName, int iomode) {
    try {
        if (!objFileSystem)
            objFileSystem = std::make_unique<platform::FileSystemObject>();
        // The old stream stays referenced until a new one replaces it, so that a failed
        // reopen leaves a closed stream behind rather than none.
        if (objTextStream)
            objTextStream->Close();

        const QString separator = QDir::separator();
        if (!strFilePath.isEmpty() && !strFilePath.endsWith(separator))
            strFilePath += separator;
        const QString fullName = strFilePath + strFileName;

        if (iomode == platform::ForWriting)
            objTextStream = objFileSystem->CreateTextFile(fullName, true);
        else
            objTextStream =
                objFileSystem->OpenTextFile(fullName, iomode, iomode != platform::ForReading);
        lngLinesWrote = 0;
        lngLinesRead = 0;
        strWriteFailure.clear();
        return true;
    } catch (const platform::StreamError& e) {
        platform::MsgBox(QLatin1String("File: ") + strFilePath + strFileName +
                             QLatin1String(" - ") + e.description(),
                         platform::MsgIcon::Critical, QStringLiteral("Open File"));
        return false;
    }
}

void clsTextFile::WriteLine(QByteArrayView strLine) {
    try {
        stream().WriteLine(strLine);
    } catch (const platform::StreamError& e) {
        throw TextFileError(e.what());
    }
    if (lngLinesWrote == MaxLines)
        throw TextFileError("Overflow: more than 2147483647 lines written");
    ++lngLinesWrote;
}

QByteArray clsTextFile::ReadLine() {
    platform::TextStream& s = stream();
    QByteArray line;
    try {
        if (s.AtEndOfStream())
            return line;
        line = s.ReadLine();
    } catch (const platform::StreamError& e) {
        throw TextFileError(e.what());
    }
    if (lngLinesRead == MaxLines)
        throw TextFileError("Overflow: more than 2147483647 lines read");
    ++lngLinesRead;
    return line;
}

QByteArray clsTextFile::ReadLinePart(qsizetype maxSize, bool& lineEnded) {
    return ReadLineView(maxSize, lineEnded).toByteArray();
}

QByteArrayView clsTextFile::ReadLineView(qsizetype maxSize, bool& lineEnded) {
    platform::TextStream& s = stream();
    QByteArrayView part;
    lineEnded = true;
    try {
        if (s.AtEndOfStream())
            return part;
        part = s.ReadLineView(std::size_t(std::max<qsizetype>(maxSize, 1)), lineEnded);
    } catch (const platform::StreamError& e) {
        throw TextFileError(e.what());
    }
    if (lineEnded) {
        if (lngLinesRead == MaxLines)
            throw TextFileError("Overflow: more than 2147483647 lines read");
        ++lngLinesRead;
    }
    return part;
}

void clsTextFile::WritePart(QByteArrayView strPart) {
    try {
        stream().Write(strPart.data(), std::size_t(strPart.size()));
    } catch (const platform::StreamError& e) {
        throw TextFileError(e.what());
    }
}

bool clsTextFile::EndOfFile() {
    platform::TextStream& s = stream();
    try {
        return s.AtEndOfStream();
    } catch (const platform::StreamError& e) {
        throw TextFileError(e.what());
    }
}

void clsTextFile::CloseFile() {
    if (!objTextStream)
        return;
    try {
        objTextStream->Close();
    } catch (const platform::StreamError&) {
        // Callers that care ask WriteFailure(), which keeps the reason.
    }
    strWriteFailure = objTextStream->WriteError();
    objTextStream.reset();
}

qint32 clsTextFile::LinesWrote() const {
    return lngLinesWrote;
}

qint32 clsTextFile::LinesRead() const {
    return lngLinesRead;
}

QString clsTextFile::WriteFailure() const {
    return objTextStream ? objTextStream->WriteError() : strWriteFailure;
}
