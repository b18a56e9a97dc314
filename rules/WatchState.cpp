#include "WatchState.h"

#include "StateFolder.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace platform {

std::optional<WatchState> ReadWatchState() {
    QFile file(StateFolder() + QStringLiteral("/watch.json"));
    // A few hundred bytes when the watcher wrote it.
    constexpr qint64 Limit = 64 * 1024;
    if (!file.open(QIODevice::ReadOnly) || file.size() > Limit)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    const QJsonObject o = document.object();
    if (!document.isObject() || !o.value(QStringLiteral("pid")).isDouble())
        return std::nullopt;
    const auto time = [&o](const char* key) {
        return QDateTime::fromString(o.value(QLatin1String(key)).toString(), Qt::ISODate);
    };
    const auto text = [&o](const char* key) {
        return o.value(QLatin1String(key)).toString();
    };
    WatchState s;
    s.pid = qint64(o.value(QStringLiteral("pid")).toDouble());
    s.since = time("since");
    s.lastCheck = time("lastCheck");
    s.lastEvent = time("lastEvent");
    s.lastEventKind = text("lastEventKind");
    s.nextSafetyCheck = time("nextSafetyCheck");
    s.state = text("state");
    s.message = text("message");
    s.address = text("address");
    return s;
}

} // namespace platform
