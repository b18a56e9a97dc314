#pragma once

// The system calls that open, read, write and close files, shared by the text stream, the file
// opener and the page lock. Nothing outside the files room uses them.

#include <QString>

#include <cstddef>

#include <fcntl.h>

namespace platform::sysfile {

// The operating system's description of an errno value.
QString describe(int error);

int sysOpen(const QString& name, int flags);
qint64 sysRead(int fd, char* data, std::size_t size);
qint64 sysWrite(int fd, const char* data, std::size_t size);
int sysClose(int fd);

// The flag that opens an ordinary file for writing over its old content. Windows files are
// emptied when opened for rewriting, so there it is O_TRUNC.
#ifdef Q_OS_WIN
inline constexpr int InPlaceRewrite = O_TRUNC;
#else
inline constexpr int InPlaceRewrite = 0;
#endif

// Cuts the file off where the next write would go; false with errno set when it cannot.
bool cutAtWritePosition(int fd);
// The size of an ordinary file, 0 for anything else.
qint64 fileSize(int fd);

// Opens a file that the program reads or writes, never waiting whatever the name leads to, and
// refusing what it must not read or write through (folders, pipes, links when writing). Throws
// StreamError with the reason a person reads.
int openFile(const QString& name, int flags, bool forWriting);

} // namespace platform::sysfile
