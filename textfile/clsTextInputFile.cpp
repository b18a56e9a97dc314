#include "clsTextInputFile.h"

#include "clsTextFile.h"

namespace {

constexpr int ModeReading = 1;

// Every call but OpenFile needs the inner object, which only OpenFile creates.
clsTextFile& inner(const std::unique_ptr<clsTextFile>& objTextFile) {
    if (!objTextFile)
        throw TextFileError("No text file object: OpenFile has not been called");
    return *objTextFile;
}

} // namespace

clsTextInputFile::clsTextInputFile() = default;

clsTextInputFile::~clsTextInputFile() = default;

bool clsTextInputFile::OpenFile(QString& strFilePath, const QString& strFileName) {
    if (!objTextFile)
        objTextFile = std::make_unique<clsTextFile>();
    return objTextFile->OpenFile(strFilePath, strFileName, ModeReading);
}

QByteArray clsTextInputFile::ReadLine() {
    return inner(objTextFile).ReadLine();
}

QByteArray clsTextInputFile::ReadLinePart(qsizetype maxSize, bool& lineEnded) {
    return inner(objTextFile).ReadLinePart(maxSize, lineEnded);
}

QByteArrayView clsTextInputFile::ReadLineView(qsizetype maxSize, bool& lineEnded) {
    return inner(objTextFile).ReadLineView(maxSize, lineEnded);
}

bool clsTextInputFile::EndOfFile() {
    return inner(objTextFile).EndOfFile();
}

void clsTextInputFile::CloseFile() {
    inner(objTextFile).CloseFile();
}

qint32 clsTextInputFile::Lines() const {
    return inner(objTextFile).LinesRead();
}
