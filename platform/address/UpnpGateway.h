#pragma once

#include "AddressSource.h"

#include <QDeadlineTimer>

namespace platform {

// The router's external address over UPnP IGD: from the device description at routerURL, or
// from the first internet gateway that answers a search of the local network. Every reply is
// read up to a limit, and nothing is said on standard error.
AddressAnswer AskUpnpGateway(const QString& routerURL, std::chrono::milliseconds timeout);

} // namespace platform
