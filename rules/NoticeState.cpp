#include "NoticeState.h"

#include "StateFolder.h"
#include "UserFile.h"

#include <QJsonDocument>
#include <QJsonObject>

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
    NoticeState state;
    const std::optional<QByteArray> text = ReadOrdinaryFile(Path(), 64 * 1024, Links::Refuse);
    if (!text)
        return state;
    const QJsonObject o = QJsonDocument::fromJson(*text).object();
    state.failing = o.value(Failing).toBool();
    state.told = state.failing && o.value(Told).toBool();
    state.failingSince = QDateTime::fromString(o.value(Since).toString(), Qt::ISODate);
    state.message = o.value(Message).toString();
    return state;
}

bool NoticeState::Save() const {
    if (!MakeStateFolder())
        return false;
    const QByteArray bytes = QJsonDocument(QJsonObject{
                                               {Failing, failing},
                                               {Told, told},
                                               {Since, failingSince.toUTC().toString(Qt::ISODate)},
                                               {Message, message},
                                           })
                                 .toJson();
    return WriteFileWhole(Path(), bytes);
}

} // namespace platform
