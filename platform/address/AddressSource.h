#pragma once

#include <QString>

#include <chrono>
#include <optional>

namespace platform {

// Where the address that replaces the page's IP marker comes from.
enum class AddressSource {
    Local,  // this machine's IPv4 address
    Local6, // this machine's global IPv6 address
    Router, // the router's external address, asked over UPnP IGD
    Web,    // the first address in a web service's answer
};

// The names the settings store keeps: "local", "local6", "router", "web" (read in any case).
std::optional<AddressSource> ParseAddressSource(const QString& name);
QString AddressSourceName(AddressSource source);

// Asked when no web address is set. It answers a GET with the bare address.
inline constexpr char DefaultWebURL[] = "https://api.ipify.org";

struct AddressQuery {
    AddressSource source = AddressSource::Local;
    // The router's device description (http://...); empty: search the local network for it.
    QString routerURL;
    // http:// or https://; empty: DefaultWebURL.
    QString webURL;
    std::chrono::milliseconds timeout{std::chrono::seconds(5)};
};

struct AddressAnswer {
    QString address; // empty when the source gave none
    QString error;   // then why, for a person
};

// Asks the source on the calling thread and blocks until it answers: about the time-out at
// most for the web, longer where the router's library takes its own time.
AddressAnswer AskAddressSource(const AddressQuery& query);

// Empty when the internet can reach the address; otherwise what kind of address it is, in
// plain words ("a private address, which only the local network can reach").
QString UnreachableReason(const QString& address);

} // namespace platform
