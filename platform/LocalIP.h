#pragma once

#include <QString>

namespace platform {

// One IPv4 address of this machine as dotted decimal: an address of an interface that is up,
// running and not the loopback, link-local ones last; 127.0.0.1 when there is none.
QString LocalIP();

} // namespace platform
