#include "clsTextOutputFile.h"

#include "clsTextFile.h"

namespace {

constexpr int ModeWriting = 2;

// Every call but OpenFile needs the inner object, which only OpenFile creates.
clsTextFile& inner(const std::unique_ptr<clsTextFile>& objTextFile) {
    if (!objTextFile)
        throw TextFileError("No text file object: OpenFile has not been called");
    return *objTextFile;
}

} // namespace

clsTextOutputFile::clsTextOutputFile() = default;

clsTextOutputFile::~clsTextOutputFile() = default;

bool clsTextOutputFile::OpenFile(QString& strFilePath, const QString& strFileName) {
    if (!objTextFile)
        objTextFile = std::make_unique<clsTextFile>();
    return objTextFile->OpenFile(strFilePath, strFileName, ModeWriting);
}

void clsTextOutputFile::WriteLine(QByteArrayView strLine) {
    inner(objTextFile).WriteLine(strLine);
}

void clsTextOutputFile::WritePart(QByteArrayView strPart) {
    inner(objTextFile).WritePart(strPart);
}

void clsTextOutputFile::CloseFile() {
    inner(objTextFile).CloseFile();
}

qint32 clsTextOutputFile::Lines() const {
    return inner(objTextFile).LinesWrote();
}

QString clsTextOutputFile::WriteFailure() const {
    return inner(objTextFile).WriteFailure();
}
