#pragma once

// What a source is asked and answers are plain values, kept with the rule that weighs the
// answers (rules/AddressAnswer.h).
#include "AddressAnswer.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace platform {

// The names the settings store keeps: "local", "local6", "router", "web", "auto" (read in any
// case).
std::optional<AddressSource> ParseAddressSource(const QString& name);
QString AddressSourceName(AddressSource source);

// Asked when no web address is set. It answers a GET with the bare address.
inline constexpr char DefaultWebURL[] = "https://api.ipify.org";
// What Auto and the IPv6 marker ask when no web address is set: two services of different
// operators, each reachable over both families.
inline constexpr char DefaultWebURLs[] = "https://api64.ipify.org https://icanhazip.com";
// STUN servers of two different operators, host:port.
inline constexpr char DefaultStunServers[] = "stun.l.google.com:19302 stun.cloudflare.com:3478";

// Asks the source on the calling thread and blocks until it answers, about the time-out at
// most (Auto is asked through AskAll, never here).
AddressAnswer AskAddressSource(const AddressQuery& query);

// A reply that must be nothing but one address of the family, written the usual way: dotted
// decimal without leading zeros for IPv4, hexadecimal groups for IPv6. Surrounding white space
// is allowed. The address in its usual form, or empty with the reason in why, naming the
// sender as who.
QString StrictAddress(const QByteArray& reply, AddressFamily family, const QString& who,
                      QString* why);

} // namespace platform
