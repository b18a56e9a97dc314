#include "WatchState.h"

#include "StateFolder.h"
#include "WatchPlan.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <array>
#include <utility>

namespace platform {

namespace {

using Kind = WatchState::Kind;

constexpr std::array<std::pair<Kind, const char*>, 4> KindNames{{
    {Kind::Working, "working"},
    {Kind::Published, "published"},
    {Kind::Failing, "failing"},
    {Kind::Idle, "idle"},
}};

// A record is a few hundred bytes; whatever else stands there is not read whole.
constexpr qint64 MaxRecord = 64 * 1024;

QString utc(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString();
}

QDateTime fromUtc(const QJsonValue& value) {
    return QDateTime::fromString(value.toString(), Qt::ISODate).toUTC();
}

QString local(const QDateTime& time) {
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          : QStringLiteral("none yet");
}

} // namespace

QString WatchStateName(Kind kind) {
    for (const auto& [k, name] : KindNames)
        if (k == kind)
            return QString::fromLatin1(name);
    return {};
}

QString WatchState::Path() {
    return StateFolder() + QStringLiteral("/watch.json");
}

QByteArray WatchState::ToJson() const {
    return QJsonDocument(QJsonObject{
                             {QStringLiteral("pid"), pid},
                             {QStringLiteral("since"), utc(since)},
                             {QStringLiteral("lastCheck"), utc(lastCheck)},
                             {QStringLiteral("lastEvent"), utc(lastEvent)},
                             {QStringLiteral("lastEventKind"), lastEventKind},
                             {QStringLiteral("nextSafetyCheck"), utc(nextSafetyCheck)},
                             {QStringLiteral("state"), WatchStateName(state)},
                             {QStringLiteral("message"), message},
                             {QStringLiteral("address"), address},
                         })
        .toJson();
}

std::optional<WatchState> WatchState::FromJson(const QByteArray& json) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject o = document.object();
    WatchState s;
    // A record without a process or a state of its kind is not one of ours.
    const QString state = o.value(QStringLiteral("state")).toString();
    bool known = false;
    for (const auto& [kind, name] : KindNames) {
        if (state == QLatin1String(name)) {
            s.state = kind;
            known = true;
        }
    }
    s.pid = o.value(QStringLiteral("pid")).toInteger(-1);
    if (!known || s.pid < 0)
        return std::nullopt;
    s.since = fromUtc(o.value(QStringLiteral("since")));
    s.lastCheck = fromUtc(o.value(QStringLiteral("lastCheck")));
    s.lastEvent = fromUtc(o.value(QStringLiteral("lastEvent")));
    s.lastEventKind = o.value(QStringLiteral("lastEventKind")).toString();
    s.nextSafetyCheck = fromUtc(o.value(QStringLiteral("nextSafetyCheck")));
    s.message = o.value(QStringLiteral("message")).toString();
    s.address = o.value(QStringLiteral("address")).toString();
    return s;
}

std::optional<WatchState> WatchState::Load() {
    QFile file(Path());
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return FromJson(file.read(MaxRecord));
}

bool WatchState::Save(QString* error) const {
    if (!MakeStateFolder(error))
        return false;
    QSaveFile file(Path());
    const QByteArray bytes = ToJson();
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

QString WatchState::Summary() const {
    QString event = local(lastEvent);
    if (lastEvent.isValid() && !lastEventKind.isEmpty())
        event += QStringLiteral(" (%1)").arg(WatchEventWords(lastEventKind));
    return QStringLiteral("Watching since %1: last check %2, last event %3, next safety check %4")
        .arg(local(since), local(lastCheck), event, local(nextSafetyCheck));
}

} // namespace platform
