#include "StateFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace platform {

QString StateFolder() {
#if defined(Q_OS_WIN)
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/vantrell");
#else
    QString home = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME would put the state wherever the program was started from.
    if (!QDir::isAbsolutePath(home))
        home = QDir::homePath() + QStringLiteral("/.local/state");
    return home + QStringLiteral("/vantrell");
#endif
}

bool MakeStateFolder(QString* error) {
    const QString folder = StateFolder();
    // Tightened every time, not only when made: a folder that something else made open to
    // others is closed before anything is written into it.
    if (QDir().mkpath(folder) &&
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner))
        return true;
    if (error)
        *error = QStringLiteral("cannot make the folder ") + QFileInfo(folder).absoluteFilePath();
    return false;
}

} // namespace platform
