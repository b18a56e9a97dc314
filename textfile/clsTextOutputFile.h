#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>

class clsTextFile;

// Writes a text file line by line (mode 2 of clsTextFile: the file is replaced). Every call but
// OpenFile throws a TextFileError until OpenFile has been called once.
class clsTextOutputFile {
public:
    clsTextOutputFile();
    ~clsTextOutputFile();
    clsTextOutputFile(const clsTextOutputFile&) = delete;
    clsTextOutputFile& operator=(const clsTextOutputFile&) = delete;

    bool OpenFile(QString& strFilePath, const QString& strFileName);
    void WriteLine(QByteArrayView strLine);
    // Bytes of a line that a later WriteLine ends (and counts).
    void WritePart(QByteArrayView strPart);
    // Reports nothing; ask WriteFailure() afterwards to learn whether the file is complete.
    void CloseFile();
    qint32 Lines() const;

    // "" while everything written so far has reached the file (the close included);
    // otherwise why it did not, for instance "No space left on device".
    QString WriteFailure() const;

private:
    std::unique_ptr<clsTextFile> objTextFile;
};
