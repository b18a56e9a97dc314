#pragma once

// When the watcher ("vantrell --watch") looks at the address, what it asks, and when it
// publishes: rules of their own, apart from the sources that tell of changes
// (platform/address, platform/desktop) and from the job that publishes (app/modWatch).

#include <QFlags>
#include <QString>

#include <chrono>

namespace platform {

// What may mean a new address.
enum class WatchEvent : unsigned {
    Start = 1 << 0,      // the watcher has just started
    Network = 1 << 1,    // this machine's addresses or routes changed
    NatPmp = 1 << 2,     // the router announced a change over NAT-PMP or PCP
    Upnp = 1 << 3,       // the router sent a UPnP event
    Resume = 1 << 4,     // the machine woke from sleep
    Safety = 1 << 5,     // the safety check is due, for what no event tells
    PublishNow = 1 << 6, // someone asked for a publish now
    Settings = 1 << 7,   // the settings changed, or were to be read again
    Retry = 1 << 8,      // the wait after a failed publish is over
};
Q_DECLARE_FLAGS(WatchEvents, WatchEvent)

// The name the watcher's state keeps ("network", "nat-pmp", ...), and its words for a person
// ("network change"); a name it does not know is shown as it is.
QString WatchEventName(WatchEvent event);
QString WatchEventWords(const QString& name);

// Events that come in a burst are taken together: the check waits until none has come for
// SettleDelay, but never longer than MaxSettle after the first. A start and a request to
// publish now are not kept waiting.
inline constexpr std::chrono::milliseconds SettleDelay{1500};
inline constexpr std::chrono::milliseconds MaxSettle{5000};
// The times are the ones of a clock that only runs forward; the answer is on the same clock.
qint64 SettleUntil(WatchEvents events, qint64 firstEvent, qint64 lastEvent);

// Whether a check asks the router first (when the source has one): not when the only news is
// a change of routes that left this machine's addresses as they were, nor when the router
// itself said what its address is now (announcedAddress). Everything else asks, so that what
// the router says stays the thing the next announcement is weighed against.
bool AsksRouter(WatchEvents events, bool localChanged, bool announcedAddress);

enum class WatchVerdict {
    Publish,    // run the job: it asks every source the settings name
    Nothing,    // nothing that could mean a new address
    AwaitRetry, // the last publish failed: the change waits for the retry
};

// What a check comes to, once the cheap sources (this machine, the router) have answered:
// the web services and STUN servers are asked only when those changed, when the safety check
// is due, or when someone asked. While publishing fails, a change waits for the retry.
WatchVerdict Decide(WatchEvents events, bool cheapSourcesChanged, bool failing);

// How long the watcher waits after the failures-th publish in a row that failed: 30 s,
// doubling each time, never longer than the safety interval.
std::chrono::seconds RetryDelay(int failures, std::chrono::seconds safetyInterval);

} // namespace platform

Q_DECLARE_OPERATORS_FOR_FLAGS(platform::WatchEvents)
