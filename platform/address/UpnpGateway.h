#pragma once

#include "AddressSource.h"

#include <QDeadlineTimer>

namespace platform {

// The router's external address over UPnP IGD: from the device description at routerURL, or
// from the first internet gateway that answers a search of the local network. Every reply is
// read up to a limit, and nothing is said on standard error.
AddressAnswer AskUpnpGateway(const QString& routerURL, std::chrono::milliseconds timeout);

// Where the router tells of changes to its connection (UPnP eventing): the event address of
// its WANIPConnection service (WANPPPConnection on a dial-up router), from the description at
// routerURL or of the first gateway that answers a search, found the way AskUpnpGateway finds
// the router.
struct UpnpEventPoint {
    QString eventURL; // http://...; empty when none was found
    QString error;    // then why, for a person
};
UpnpEventPoint FindUpnpEventPoint(const QString& routerURL, std::chrono::milliseconds timeout);

} // namespace platform
