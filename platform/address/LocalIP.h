#pragma once

#include <QList>
#include <QNetworkAddressEntry>
#include <QString>

namespace platform {

// One IPv4 address of this machine as dotted decimal: an address of an interface that is up,
// running and not the loopback, link-local ones last; 127.0.0.1 when there is none.
QString LocalIP();

// The addresses of the interfaces that are up, running and not the loopback, interface by
// interface.
QList<QNetworkAddressEntry> ActiveAddressEntries();

} // namespace platform
