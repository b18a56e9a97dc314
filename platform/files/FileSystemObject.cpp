#include "FileSystemObject.h"

#include "SysFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

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

namespace platform {

using namespace sysfile;

std::unique_ptr<TextStream> FileSystemObject::CreateTextFile(const QString& strFileName,
                                                             bool overwrite) {
    if (!overwrite)
        return std::unique_ptr<TextStream>(
            new TextStream(openFile(strFileName, O_WRONLY | O_CREAT | O_EXCL, true), true));
    // An ordinary file is written over its old content rather than emptied first: freeing the
    // old blocks and allocating them again costs more than the writing itself (a 100 MB page
    // is written in about half the time). What is left of the old content goes at Close.
    const int fd = openFile(strFileName, O_WRONLY | O_CREAT | InPlaceRewrite, true);
    const bool inPlace = InPlaceRewrite != O_TRUNC && fileSize(fd) > 0;
    auto stream = std::unique_ptr<TextStream>(new TextStream(fd, true));
    stream->m_cutAtClose = inPlace;
    return stream;
}

std::unique_ptr<TextStream> FileSystemObject::OpenTextFile(const QString& strFileName, int iomode,
                                                           bool create) {
    int flags;
    switch (iomode) {
    case ForReading:
        flags = O_RDONLY;
        break;
    case ForWriting:
        flags = O_WRONLY | O_TRUNC;
        break;
    case ForAppending:
        flags = O_WRONLY | O_APPEND;
        break;
    default:
        throw StreamError(QStringLiteral("Bad file mode %1").arg(iomode));
    }
    if (create)
        flags |= O_CREAT;
    return std::unique_ptr<TextStream>(
        new TextStream(openFile(strFileName, flags, iomode != ForReading), iomode != ForReading));
}

#ifdef Q_OS_WIN

bool FileSystemObject::SameFile(const QString& first, const QString& second) const {
    // The volume and the file's index name one file, whichever link or path leads to it.
    const auto identify = [](const QString& name, BY_HANDLE_FILE_INFORMATION& info) {
        const HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(name.utf16()), 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
        ::CloseHandle(h);
        return ok;
    };
    if (first.contains(QChar(0)) || second.contains(QChar(0)))
        return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return identify(first, a) && identify(second, b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

QString FileSystemObject::MakePrivateFolder(const QString&) const {
    return {};
}

#else

bool FileSystemObject::SameFile(const QString& first, const QString& second) const {
    if (first.isEmpty() || second.isEmpty() || first.contains(QChar(0)) ||
        second.contains(QChar(0)))
        return false;
    struct stat a;
    struct stat b;
    return ::stat(QFile::encodeName(first).constData(), &a) == 0 &&
           ::stat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

QString FileSystemObject::MakePrivateFolder(const QString& strFolder) const {
    const QByteArray native = QFile::encodeName(strFolder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        return describe(errno) + QStringLiteral(". Check that the folder ") +
               QDir::toNativeSeparators(QFileInfo(strFolder).path()) +
               QStringLiteral(" exists and that you may write in it");
    }
    // Opened without following a link, so that what is checked is what is used.
    int fd;
    do
        fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        struct stat st;
        if (::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode))
            return QStringLiteral("it is a symbolic link, not a folder of your own. Remove the "
                                  "link; the folder is then made anew");
        if (error == ENOTDIR)
            return QStringLiteral("it is a file, not a folder. Remove or rename it; the folder is "
                                  "then made in its place");
        return describe(error);
    }
    struct stat st;
    QString problem;
    if (::fstat(fd, &st) != 0) {
        problem = describe(errno);
    } else if (st.st_uid != ::geteuid()) {
        problem = QStringLiteral("it belongs to another user, who could change or replace the "
                                 "page. Have it removed (by its owner or an administrator); the "
                                 "folder is then made anew as your own");
    } else if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        problem = describe(errno);
    }
    ::close(fd);
    return problem;
}

unsigned CurrentUserId() {
    return unsigned(::geteuid());
}

#endif

} // namespace platform
