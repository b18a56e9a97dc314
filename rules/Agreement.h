#pragma once

// The rule that decides which address Auto publishes, from the answers its sources gave. It
// asks nobody: platform/address asks the sources (AddressAgreement.h) and hands the answers
// here.

#include "AddressAnswer.h"

#include <QList>
#include <QString>

namespace platform {

// One of the sources that Auto asks, and what it answered.
struct SourceAnswer {
    AddressQuery query;
    QString name; // for a person: "the router (UPnP)", "STUN stun.example.net:3478", a web address
    // Sources of one operator count as one: the router's two protocols, two services of one
    // domain, a STUN server and a web service of one company. So do sources that answered from
    // one address (AddressAnswer::server), under whatever names.
    QString operatorKey;
    AddressAnswer answer;
};

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

// The operator behind a host name: the company behind each of the program's default services
// (icanhazip.com is Cloudflare's), else roughly its last two labels, in lower case. An address
// stands for itself.
QString OperatorOf(const QString& host);

// The host of a STUN server as the settings write it: host:port, [v6 host]:port or host alone.
QString StunHost(const QString& server);

} // namespace platform
