#include "WatchPlan.h"

#include <algorithm>

namespace platform {

namespace {

using E = WatchEvent;

struct Named {
    WatchEvent event;
    const char* name;
    const char* words;
};

constexpr Named Names[] = {
    {E::Start, "start", "start"},
    {E::Network, "network", "network change"},
    {E::NatPmp, "nat-pmp", "NAT-PMP announcement"},
    {E::Upnp, "upnp", "UPnP event"},
    {E::Resume, "resume", "wake from sleep"},
    {E::Safety, "safety", "safety check"},
    {E::PublishNow, "publish-now", "Publish now"},
    {E::Settings, "settings", "settings change"},
    {E::Retry, "retry", "retry"},
};

// What makes a check publish whatever the cheap sources say.
constexpr WatchEvents Forced =
    WatchEvents(E::Start) | E::Safety | E::PublishNow | E::Settings | E::Retry;

} // namespace

QString WatchEventName(WatchEvent event) {
    for (const Named& n : Names)
        if (n.event == event)
            return QString::fromLatin1(n.name);
    return {};
}

QString WatchEventWords(const QString& name) {
    for (const Named& n : Names)
        if (name == QLatin1String(n.name))
            return QString::fromLatin1(n.words);
    return name;
}

qint64 SettleUntil(WatchEvents events, qint64 firstEvent, qint64 lastEvent) {
    if (events & (WatchEvents(E::Start) | E::PublishNow))
        return firstEvent;
    return std::min(lastEvent + SettleDelay.count(), firstEvent + MaxSettle.count());
}

bool AsksRouter(WatchEvents events, bool localChanged, bool announcedAddress) {
    WatchEvents left = events;
    if (!localChanged)
        left &= ~WatchEvents(E::Network);
    if (announcedAddress)
        left &= ~(WatchEvents(E::NatPmp) | E::Upnp);
    return left != WatchEvents();
}

WatchVerdict Decide(WatchEvents events, bool cheapSourcesChanged, bool failing) {
    if (events & Forced)
        return WatchVerdict::Publish;
    if (!cheapSourcesChanged)
        return WatchVerdict::Nothing;
    return failing ? WatchVerdict::AwaitRetry : WatchVerdict::Publish;
}

std::chrono::seconds RetryDelay(int failures, std::chrono::seconds safetyInterval) {
    std::chrono::seconds delay{30};
    for (int i = 1; i < failures && delay < safetyInterval; ++i)
        delay *= 2;
    return std::max(std::chrono::seconds(1), std::min(delay, safetyInterval));
}

} // namespace platform
