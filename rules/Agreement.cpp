#include "Agreement.h"

#include <QHostAddress>
#include <QMap>
#include <QSet>
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
    return labels.mid(std::max<qsizetype>(0, labels.size() - 2)).join(QLatin1Char('.'));
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
    // Each public address with the operators that gave it, in the order first given.
    QStringList publicAddresses;
    QMap<QString, QSet<QString>> operators;
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
        operators[a].insert(s.operatorKey);
    }
    result.answers = said.join(QStringLiteral("; "));

    if (publicAddresses.isEmpty())
        result.verdict = QStringLiteral("No source gave a public address");
    else if (publicAddresses.size() > 1)
        result.verdict = QStringLiteral("The sources disagree (%1), so none is published")
                             .arg(publicAddresses.join(QStringLiteral(", ")));
    else if (operators[publicAddresses.first()].size() < 2)
        result.verdict = QStringLiteral("No second, independent source confirms %1, so it is "
                                        "not published")
                             .arg(publicAddresses.first());
    else {
        result.address = publicAddresses.first();
        result.verdict = QStringLiteral("%1 independent sources agree on %2")
                             .arg(operators[result.address].size())
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
