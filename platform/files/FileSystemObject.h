#pragma once

#include "TextStream.h"

#include <QString>

#include <memory>

namespace platform {

// Opens files as text streams. It holds nothing; it is the one place where files get opened.
//
// Opening never waits, whatever the name leads to. Reading takes ordinary files only: a pipe
// without a writer never ends and a device like /dev/zero never runs dry. Writing refuses pipes
// and sockets, and never goes through a symbolic link in the file's own place, which someone
// may have planted to have the program overwrite another file of the user's.
class FileSystemObject {
public:
    // A new, empty file for writing. With overwrite, a file of that name is replaced: on Linux
    // it is written over and what is left of its old content is cut off when the stream
    // closes. Without overwrite, an existing one is a failure.
    std::unique_ptr<TextStream> CreateTextFile(const QString& strFileName, bool overwrite);

    // The file in the given mode (ForReading, ForWriting, ForAppending). With create, a missing
    // file is created empty first; without, it is a failure.
    std::unique_ptr<TextStream> OpenTextFile(const QString& strFileName, int iomode, bool create);

    // True when both names lead to one file (links followed, hard links included); false when
    // either cannot be found.
    bool SameFile(const QString& first, const QString& second) const;

    // Makes the folder, mode 0700, unless it is there, and makes sure it is a folder of the
    // user's own that nobody else can change: not a symbolic link, owned by the user, and
    // closed to everyone else (tightened when it was not). "" when it can be used; otherwise
    // what is wrong and what to do, as a sentence to show the user.
    QString MakePrivateFolder(const QString& strFolder) const;
};

#ifndef Q_OS_WIN
// The user the program runs as, by number: a folder of the user's own is named after it.
unsigned CurrentUserId();
#endif

} // namespace platform
