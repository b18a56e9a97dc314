#pragma once

// What an address source is asked and what it answers, and which answers the internet can
// reach. Plain values, so that the rule that weighs the answers (Agreement.h) can be read and
// tested apart from the sources that give them (platform/address).

#include <QString>

#include <chrono>

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

// Which kind of address an answer must be.
enum class AddressFamily { Any, IPv4, IPv6 };

struct AddressQuery {
    AddressSource source = AddressSource::Local;
    // The router's device description (http://...); empty: search the local network for it.
    // NAT-PMP asks the host it names, or the default gateway.
    QString routerURL;
    // http:// or https://; empty: DefaultWebURL (platform/address/AddressSource.h).
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
    // Where the answer came from: the address the server was reached at, where it is known.
    // Two names may stand for one server.
    QString server{};
};

// Empty when the internet can reach the address; otherwise what kind of address it is, in
// plain words ("a private address, which only the local network can reach").
QString UnreachableReason(const QString& address);

} // namespace platform
