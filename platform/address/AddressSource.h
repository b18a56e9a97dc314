#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

namespace platform {

// Where the address that replaces the page's IP marker comes from. The first five are the
// choices a user makes; the last two are asked only as part of Auto.
enum class AddressSource {
    Local,  // this machine's IPv4 address
    Local6, // this machine's stable global IPv6 address
    Router, // the router's external address, asked over UPnP IGD
    Web,    // a web service's answer
    Auto,   // several sources, published only when they agree
    NatPmp, // the router's external address, asked over NAT-PMP
    Stun,   // the address a STUN server sees the request come from
};

// The names the settings store keeps: "local", "local6", "router", "web", "auto" (read in any
// case).
std::optional<AddressSource> ParseAddressSource(const QString& name);
QString AddressSourceName(AddressSource source);

// Which kind of address an answer must be.
enum class AddressFamily { Any, IPv4, IPv6 };

// Asked when no web address is set. It answers a GET with the bare address.
inline constexpr char DefaultWebURL[] = "https://api.ipify.org";
// What Auto and the IPv6 marker ask when no web address is set: two services of different
// operators, each reachable over both families.
inline constexpr char DefaultWebURLs[] = "https://api64.ipify.org https://icanhazip.com";
// STUN servers of two different operators, host:port.
inline constexpr char DefaultStunServers[] = "stun.l.google.com:19302 stun.cloudflare.com:3478";

struct AddressQuery {
    AddressSource source = AddressSource::Local;
    // The router's device description (http://...); empty: search the local network for it.
    // NAT-PMP asks the host it names, or the default gateway.
    QString routerURL;
    // http:// or https://; empty: DefaultWebURL.
    QString webURL;
    std::chrono::milliseconds timeout{std::chrono::seconds(5)};
    // STUN: host:port.
    QString stunServer;
    AddressFamily family = AddressFamily::Any;
    // Local6: a temporary (privacy) address rather than the stable one.
    bool temporaryIPv6 = false;
    // STUN and web: asked from this address of this machine; empty: whichever the system picks.
    QString bindAddress;
};

struct AddressAnswer {
    QString address; // empty when the source gave none
    QString error;   // then why, for a person
};

// Asks the source on the calling thread and blocks until it answers, about the time-out at
// most (Auto is asked through AskAll, never here).
AddressAnswer AskAddressSource(const AddressQuery& query);

// Empty when the internet can reach the address; otherwise what kind of address it is, in
// plain words ("a private address, which only the local network can reach").
QString UnreachableReason(const QString& address);

// A reply that must be nothing but one address of the family, written the usual way: dotted
// decimal without leading zeros for IPv4, hexadecimal groups for IPv6. Surrounding white space
// is allowed. The address in its usual form, or empty with the reason in why, naming the
// sender as who.
QString StrictAddress(const QByteArray& reply, AddressFamily family, const QString& who,
                      QString* why);

} // namespace platform
