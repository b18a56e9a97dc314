#include "UserFile.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#if defined(Q_OS_WIN)
#include <QSaveFile>

#include <cerrno>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

void say(QString* problem, const QString& text) {
    if (problem)
        *problem = text;
}

QString tooLarge(qint64 limit) {
    return limit >= 1024 * 1024 ? QStringLiteral("it is larger than %1 MiB").arg(limit >> 20)
                                : QStringLiteral("it is larger than %1 KiB").arg(limit >> 10);
}

#if defined(Q_OS_WIN)

// No pipes or devices live among the user's files here; a folder still may.
bool openChecked(QFile& file, const QString& path, QString* problem) {
    const QFileInfo info(path);
    if (!info.exists()) {
        say(problem, {});
        return false;
    }
    if (!info.isFile()) {
        say(problem, QStringLiteral("it is not an ordinary file"));
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        say(problem, file.errorString());
        return false;
    }
    return true;
}

#else

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why what the descriptor names is not an ordinary file; empty when it is one.
QString kindProblem(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return systemError(errno);
    if (S_ISREG(st.st_mode))
        return {};
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("it is a folder, not a file");
    return QStringLiteral("it is not an ordinary file");
}

// A descriptor for reading or appending that never waits for a pipe's other end, and never
// becomes the process's terminal; -1 with the reason (empty for a missing file) otherwise.
int openUnblocked(const QString& path, int flags, Links links, QString* problem) {
    if (path.isEmpty() || path.contains(QChar(0))) {
        say(problem, QStringLiteral("it has no usable name"));
        return -1;
    }
    flags |= O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (links == Links::Refuse)
        flags |= O_NOFOLLOW;
    int fd;
    do
        fd = ::open(QFile::encodeName(path).constData(), flags, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            say(problem, {});
        else if (error == ELOOP && links == Links::Refuse)
            say(problem, QStringLiteral("it is a link, which is not followed"));
        else if (error == ENXIO)
            say(problem, QStringLiteral("it is not an ordinary file"));
        else
            say(problem, systemError(error));
        return -1;
    }
    if (const QString wrong = kindProblem(fd); !wrong.isEmpty()) {
        say(problem, wrong);
        ::close(fd);
        return -1;
    }
    return fd;
}

#endif

} // namespace

bool OpenOrdinaryFile(QFile& file, const QString& path, Links links, QString* problem) {
#if defined(Q_OS_WIN)
    Q_UNUSED(links);
    return openChecked(file, path, problem);
#else
    const int fd = openUnblocked(path, O_RDONLY, links, problem);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        say(problem, file.errorString());
        ::close(fd);
        return false;
    }
    return true;
#endif
}

std::optional<QByteArray> ReadOrdinaryFile(const QString& path, qint64 limit, Links links,
                                           QString* problem) {
    QFile file;
    if (!OpenOrdinaryFile(file, path, links, problem))
        return std::nullopt;
    if (file.size() > limit) {
        say(problem, tooLarge(limit));
        return std::nullopt;
    }
    // The size may have grown since it was asked.
    QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit) {
        say(problem, tooLarge(limit));
        return std::nullopt;
    }
    if (file.error() != QFileDevice::NoError) {
        say(problem, file.errorString());
        return std::nullopt;
    }
    return bytes;
}

bool WriteFileWhole(const QString& path, const QByteArray& bytes, QString* problem,
                    QFileDevice::Permissions permissions) {
#if defined(Q_OS_WIN)
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()) {
        QFile::setPermissions(path, permissions);
        return true;
    }
    say(problem, file.errorString());
    return false;
#else
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    if (!file.open() || !file.setPermissions(permissions) || file.write(bytes) != bytes.size() ||
        !file.flush()) {
        say(problem, file.errorString());
        return false;
    }
    if (::rename(QFile::encodeName(file.fileName()).constData(),
                 QFile::encodeName(path).constData()) != 0) {
        say(problem,
            errno == EISDIR ? QStringLiteral("it is a folder, not a file") : systemError(errno));
        return false;
    }
    file.setAutoRemove(false);
    return true;
#endif
}

bool AppendToFile(const QString& path, const QByteArray& bytes, Links links, QString* problem) {
#if defined(Q_OS_WIN)
    Q_UNUSED(links);
    QFile file(path);
    if (QFileInfo(path).exists() && !QFileInfo(path).isFile()) {
        say(problem, QStringLiteral("it is not an ordinary file"));
        return false;
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(bytes) != bytes.size()) {
        say(problem, file.errorString());
        return false;
    }
    return true;
#else
    QString why;
    const int fd = openUnblocked(path, O_WRONLY | O_APPEND | O_CREAT, links, &why);
    if (fd < 0) {
        say(problem, why.isEmpty() ? QStringLiteral("it cannot be made") : why);
        return false;
    }
    ssize_t written;
    do
        written = ::write(fd, bytes.constData(), size_t(bytes.size()));
    while (written < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (written != ssize_t(bytes.size())) {
        say(problem, written < 0 ? systemError(error) : QStringLiteral("the disk is full"));
        return false;
    }
    return true;
#endif
}

#if defined(Q_OS_WIN)

// Opened shared with nobody: a second opener is refused until this handle is closed.
FileTurn::FileTurn(const QString& path, std::chrono::milliseconds wait) {
    const QDeadlineTimer deadline(wait);
    for (;;) {
        int fd = -1;
        const errno_t error = ::_wsopen_s(&fd, reinterpret_cast<const wchar_t*>(path.utf16()),
                                          _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYRW,
                                          _S_IREAD | _S_IWRITE);
        if (error == 0) {
            m_fd = fd;
            return;
        }
        if (error != EACCES || deadline.hasExpired())
            return;
        QThread::msleep(20);
    }
}

FileTurn::~FileTurn() {
    if (m_fd >= 0)
        ::_close(m_fd);
}

#else

FileTurn::FileTurn(const QString& path, std::chrono::milliseconds wait) {
    const int fd = openUnblocked(path, O_RDWR | O_CREAT, Links::Refuse, nullptr);
    if (fd < 0)
        return;
    const QDeadlineTimer deadline(wait);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            m_fd = fd;
            return;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired())
            break;
        QThread::msleep(20);
    }
    ::close(fd);
}

FileTurn::~FileTurn() {
    if (m_fd >= 0)
        ::close(m_fd);
}

#endif

} // namespace platform
