#include "SysInfo.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace platform::sysinfo {

bool RecordedPath(QString& path) {
    const QSettings settings(QSettings::IniFormat, QSettings::SystemScope,
                             QString::fromLatin1(Organisation));
    const QVariant value = settings.value(QString::fromLatin1(PathKey));
    if (!value.isValid())
        return false;
    path = value.toString();
    return true;
}

QStringList ProgramNames() {
    return {QStringLiteral("hardinfo2"), QStringLiteral("hardinfo"), QStringLiteral("kinfocenter"),
            QStringLiteral("gnome-system-monitor")};
}

bool SearchPath(QString& path) {
    const QStringList folders =
        qEnvironmentVariable("PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts);
    const QStringList names = ProgramNames();
    for (const QString& folder : folders) {
        if (QDir::isRelativePath(folder))
            continue;
        const QDir dir(folder);
        for (const QString& name : names) {
            const QString candidate = dir.filePath(name);
            if (IsOrdinaryFile(candidate) && QFileInfo(candidate).isExecutable()) {
                path = candidate;
                return true;
            }
        }
    }
    return false;
}

bool IsOrdinaryFile(const QString& path) {
#ifdef Q_OS_WIN
    const QByteArray name = QDir::toNativeSeparators(path).toLocal8Bit();
    const DWORD attributes = GetFileAttributesA(name.constData());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
#else
    return QFileInfo(path).isFile();
#endif
}

bool Start(const QString& path) {
    if (path.isEmpty())
        return false;
    return QProcess::startDetached(path, {});
}

} // namespace platform::sysinfo
