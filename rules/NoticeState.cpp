#include "NoticeState.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace platform {

namespace {

const QString Failing = QStringLiteral("failing");
const QString Told = QStringLiteral("told");
const QString Since = QStringLiteral("since");
const QString Message = QStringLiteral("message");

} // namespace

QString NoticeState::Path() {
#if defined(Q_OS_WIN)
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/vantrell/notices.json");
#else
    QString home = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(home))
        home = QDir::homePath() + QStringLiteral("/.local/state");
    return home + QStringLiteral("/vantrell/notices.json");
#endif
}

NoticeState NoticeState::Load() {
    QFile file(Path());
    NoticeState state;
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return state;
    const QJsonObject o = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    state.failing = o.value(Failing).toBool();
    state.told = state.failing && o.value(Told).toBool();
    state.failingSince = QDateTime::fromString(o.value(Since).toString(), Qt::ISODate);
    state.message = o.value(Message).toString();
    return state;
}

bool NoticeState::Save() const {
    const QString path = Path();
    const QString folder = QFileInfo(path).absolutePath();
    // Beside the record of what was published, which names the user's server: the folder is
    // the user's alone.
    if (!QDir().mkpath(folder) ||
        !QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner))
        return false;
    QSaveFile file(path);
    const QByteArray bytes = QJsonDocument(QJsonObject{
                                               {Failing, failing},
                                               {Told, told},
                                               {Since, failingSince.toUTC().toString(Qt::ISODate)},
                                               {Message, message},
                                           })
                                 .toJson();
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

} // namespace platform
