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

// An IPv6 address of an active interface, with what the system says of it.
struct LocalIPv6 {
    QString address;
    bool temporary = false; // a privacy address, replaced by another within a day or so
    // Neither deprecated, nor still being checked for duplicates (tentative), nor found to be
    // a duplicate.
    bool usable = true;
    qint64 validSeconds = -1; // how long it stays valid; -1: for ever
};

QList<LocalIPv6> LocalIPv6Addresses();

} // namespace platform
