#include "Agreement.h"

#include <QHostAddress>
#include <QMap>
#include <QStringList>

#include <algorithm>

namespace platform {

namespace {

bool isRouter(const SourceAnswer& s) {
    return s.query.source == AddressSource::Router || s.query.source == AddressSource::NatPmp;
}

bool looksOutward(const SourceAnswer& s) {
    return s.query.source == AddressSource::Stun || s.query.source == AddressSource::Web;
}

// How many of the sources are independent of each other: those of one operator, or that
// answered from one address, count as one.
qsizetype independent(const QList<const SourceAnswer*>& sources) {
    QList<qsizetype> group(sources.size());
    for (qsizetype i = 0; i < group.size(); ++i)
        group[i] = i;
    const auto root = [&group](qsizetype i) {
        while (group[i] != i)
            i = group[i];
        return i;
    };
    const auto same = [](const SourceAnswer& a, const SourceAnswer& b) {
        const QHostAddress server(a.answer.server);
        return a.operatorKey == b.operatorKey ||
               (!server.isNull() &&
                server.isEqual(QHostAddress(b.answer.server), QHostAddress::ConvertV4MappedToIPv4));
    };
    for (qsizetype i = 0; i < sources.size(); ++i)
        for (qsizetype j = i + 1; j < sources.size(); ++j)
            if (same(*sources[i], *sources[j]))
                group[root(j)] = root(i);
    qsizetype count = 0;
    for (qsizetype i = 0; i < group.size(); ++i)
        count += root(i) == i;
    return count;
}

bool inRange(const QString& address, const char* network, int bits) {
    const QHostAddress ip(address);
    return ip.protocol() == QAbstractSocket::IPv4Protocol &&
           ip.isInSubnet(QHostAddress(QString::fromLatin1(network)), bits);
}

} // namespace

QString OperatorOf(const QString& host) {
    if (!QHostAddress(host).isNull())
        return host;
    const QStringList labels = host.toLower().split(QLatin1Char('.'), Qt::SkipEmptyParts);
    const QString domain = labels.mid(std::max<qsizetype>(0, labels.size() - 2)).join(u'.');
    // Of the services asked unless the settings name others, one domain is not its operator's.
    if (domain == u"icanhazip.com")
        return QStringLiteral("cloudflare.com");
    return domain;
}

QString StunHost(const QString& server) {
    QString host = server;
    if (host.startsWith(QLatin1Char('[')))
        return host.mid(1, host.indexOf(QLatin1Char(']')) - 1);
    if (host.count(QLatin1Char(':')) == 1)
        host.truncate(host.indexOf(QLatin1Char(':')));
    return host;
}

QString DescribeAnswer(const SourceAnswer& s) {
    if (s.answer.address.isEmpty())
        return s.answer.error;
    const QString reason = UnreachableReason(s.answer.address);
    return QStringLiteral("%1 answered %2").arg(s.name, s.answer.address) +
           (reason.isEmpty() ? QString() : QStringLiteral(", ") + reason);
}

QString Agreement::Explained() const {
    QString text = answers + QStringLiteral(". ") + verdict + QLatin1Char('.');
    if (!diagnosis.isEmpty())
        text += QLatin1Char(' ') + diagnosis;
    return text;
}

Agreement Agree(const QList<SourceAnswer>& sources) {
    Agreement result;
    QStringList said;
    // Each public address with the sources that gave it, in the order first given.
    QStringList publicAddresses;
    QMap<QString, QList<const SourceAnswer*>> givers;
    QString router;
    QStringList outward;
    for (const SourceAnswer& s : sources) {
        said << DescribeAnswer(s);
        const QString& a = s.answer.address;
        if (a.isEmpty())
            continue;
        if (isRouter(s) && router.isEmpty())
            router = a;
        if (!UnreachableReason(a).isEmpty())
            continue;
        if (looksOutward(s) && !outward.contains(a))
            outward << a;
        if (!publicAddresses.contains(a))
            publicAddresses << a;
        givers[a] << &s;
    }
    result.answers = said.join(QStringLiteral("; "));

    if (publicAddresses.isEmpty())
        result.verdict = QStringLiteral("No source gave a public address");
    else if (publicAddresses.size() > 1)
        result.verdict = QStringLiteral("The sources disagree (%1), so none is published")
                             .arg(publicAddresses.join(QStringLiteral(", ")));
    else if (independent(givers[publicAddresses.first()]) < 2)
        result.verdict = QStringLiteral("No second, independent source confirms %1, so it is "
                                        "not published")
                             .arg(publicAddresses.first());
    else {
        result.address = publicAddresses.first();
        result.verdict = QStringLiteral("%1 independent sources agree on %2")
                             .arg(independent(givers[result.address]))
                             .arg(result.address);
    }

    if (inRange(router, "100.64.0.0", 10))
        result.diagnosis = QStringLiteral(
            "The router's own public address is in 100.64.0.0/10: the provider shares one public "
            "address among many customers (carrier-grade NAT), and people outside cannot reach "
            "this machine over IPv4 whatever the page says; publishing its global IPv6 address "
            "may help.");
    else if (inRange(router, "10.0.0.0", 8) || inRange(router, "172.16.0.0", 12) ||
             inRange(router, "192.168.0.0", 16))
        result.diagnosis = QStringLiteral("The router's address is private: this network sits "
                                          "behind another router (double NAT).");
    else if (!router.isEmpty() && UnreachableReason(router).isEmpty() &&
             (outward.size() > 1 || (outward.size() == 1 && outward.first() != router)))
        result.diagnosis = QStringLiteral("The router and the web services disagree: a VPN or a "
                                          "proxy is in the way, or carrier-grade NAT.");
    return result;
}

} // namespace platform
