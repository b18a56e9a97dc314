#pragma once

#include "AddressSource.h"

namespace platform {

// The router's external address over NAT-PMP: asked of the host that routerURL names, or of
// the default gateway when it is empty.
AddressAnswer AskNatPmp(const QString& routerURL, std::chrono::milliseconds timeout);

} // namespace platform
