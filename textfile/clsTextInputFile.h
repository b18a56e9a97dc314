#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>

class clsTextFile;

// Reads a text file line by line (mode 1 of clsTextFile). Every call but OpenFile throws a
// TextFileError until OpenFile has been called once.
class clsTextInputFile {
public:
    clsTextInputFile();
    ~clsTextInputFile();
    clsTextInputFile(const clsTextInputFile&) = delete;
    clsTextInputFile& operator=(const clsTextInputFile&) = delete;

    bool OpenFile(QString& strFilePath, const QString& strFileName);
    QByteArray ReadLine();
    // At most maxSize bytes of the line; lineEnded tells whether its end came after them.
    QByteArray ReadLinePart(qsizetype maxSize, bool& lineEnded);
    // The same, seen in place without a copy until the next call on this reader.
    QByteArrayView ReadLineView(qsizetype maxSize, bool& lineEnded);
    bool EndOfFile();
    void CloseFile();
    qint32 Lines() const;

private:
    std::unique_ptr<clsTextFile> objTextFile;
};
