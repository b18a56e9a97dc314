#pragma once

#include "AddressSource.h"
// The rule that weighs the sources' answers asks nobody: it is one of the program's rules
// (rules/Agreement.h).
#include "Agreement.h"

#include <QList>
#include <QString>

#include <functional>

namespace platform {

struct AgreementSettings {
    QString routerURL;
    QString webURLs;     // separated by white space; empty: DefaultWebURLs
    QString stunServers; // separated by white space; empty: DefaultStunServers
    bool temporaryIPv6 = false;
    std::chrono::milliseconds timeout{std::chrono::seconds(5)};
};

// What Auto asks for an address of the family: for IPv4 the router (UPnP and NAT-PMP), every
// STUN server and every web service; for IPv6 this machine's own address, every STUN server
// and every web service, the last two asked from that address.
QList<SourceAnswer> AgreementSources(AddressFamily family, const AgreementSettings& settings);

// Asks every source at once and waits, window events processed, until each has answered or
// run out of time, or until givenUp answers true (checked after every event); the sources not
// heard from by then keep no answer.
void AskAll(QList<SourceAnswer>& sources, const std::function<bool()>& givenUp = {});

} // namespace platform
