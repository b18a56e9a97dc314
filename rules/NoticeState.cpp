#include "NoticeState.h"

#include "StateFolder.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace platform {

namespace {

const QString Failing = QStringLiteral("failing");
const QString Told = QStringLiteral("told");
const QString Since = QStringLiteral("since");
const QString Message = QStringLiteral("message");

} // namespace

QString NoticeState::Path() {
    return StateFolder() + QStringLiteral("/notices.json");
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
    if (!MakeStateFolder())
        return false;
    QSaveFile file(Path());
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
