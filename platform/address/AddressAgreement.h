#pragma once

#include "AddressSource.h"

#include <QList>
#include <QString>

#include <functional>

namespace platform {

// One of the sources that Auto asks, and what it answered.
struct SourceAnswer {
    AddressQuery query;
    QString name; // for a person: "the router (UPnP)", "STUN stun.example.net:3478", a web address
    // Sources of one operator count as one: the router's two protocols, two services of one
    // domain.
    QString operatorKey;
    AddressAnswer answer;
};

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

struct Agreement {
    QString address;   // empty: nothing to publish
    QString verdict;   // what the rule makes of the answers
    QString diagnosis; // what the answers say about the network; empty when nothing stands out
    QString answers;   // every source's answer, one after the other

    // All of it, for a message on one line.
    QString Explained() const;
};

// An address is published when at least two independent sources give it as a public address
// and no source gives another public address. A source without an answer counts neither way.
Agreement Agree(const QList<SourceAnswer>& sources);

// One source's answer for a person: "the router (UPnP) answered 203.0.113.9", or why none.
QString DescribeAnswer(const SourceAnswer& source);

} // namespace platform
