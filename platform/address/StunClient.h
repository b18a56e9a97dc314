#pragma once

#include "AddressSource.h"

namespace platform {

// The address a STUN server (host:port, port 3478 when left out) saw a binding request come
// from, over UDP in the family asked for (IPv4 for Any), sent from bindAddress unless it is
// empty.
AddressAnswer AskStun(const QString& server, AddressFamily family, const QString& bindAddress,
                      std::chrono::milliseconds timeout);

} // namespace platform
