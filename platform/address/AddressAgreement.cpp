#include "AddressAgreement.h"

#include "AddressLookup.h"
#include "Process.h"

#include <QRegularExpression>
#include <QUrl>

#include <memory>

namespace platform {

QList<SourceAnswer> AgreementSources(AddressFamily family, const AgreementSettings& settings) {
    QList<SourceAnswer> sources;
    const auto add = [&](AddressSource source, const QString& name, const QString& key) {
        SourceAnswer s;
        s.query.source = source;
        s.query.routerURL = settings.routerURL;
        s.query.timeout = settings.timeout;
        s.query.family = family;
        s.query.temporaryIPv6 = settings.temporaryIPv6;
        s.name = name;
        s.operatorKey = key;
        sources << s;
        return &sources.last();
    };
    if (family == AddressFamily::IPv6)
        add(AddressSource::Local6, QStringLiteral("this machine"), QStringLiteral("this machine"));
    else {
        add(AddressSource::Router, QStringLiteral("the router (UPnP)"), QStringLiteral("router"));
        add(AddressSource::NatPmp, QStringLiteral("the router (NAT-PMP)"),
            QStringLiteral("router"));
    }
    const QString stun = settings.stunServers.trimmed().isEmpty()
                             ? QString::fromLatin1(DefaultStunServers)
                             : settings.stunServers;
    for (const QString& server :
         stun.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
        add(AddressSource::Stun, QStringLiteral("STUN ") + server, OperatorOf(StunHost(server)))
            ->query.stunServer = server;
    const QString web = settings.webURLs.trimmed().isEmpty() ? QString::fromLatin1(DefaultWebURLs)
                                                             : settings.webURLs;
    for (const QString& url :
         web.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        const QUrl parsed(url);
        add(AddressSource::Web, parsed.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery),
            OperatorOf(parsed.host()))
            ->query.webURL = url;
    }
    return sources;
}

void AskAll(QList<SourceAnswer>& sources, const std::function<bool()>& givenUp) {
    // This machine's own IPv6 address is known at once; the others are asked from it, so
    // that they tell whether the internet sees that address rather than a temporary one.
    QString from;
    for (SourceAnswer& s : sources)
        if (s.query.source == AddressSource::Local6) {
            s.answer = AskAddressSource(s.query);
            from = s.answer.address;
        }
    std::vector<std::unique_ptr<AddressLookup>> lookups;
    for (SourceAnswer& s : sources) {
        if (s.query.source == AddressSource::Local6) {
            lookups.push_back(nullptr);
            continue;
        }
        s.query.bindAddress = from;
        lookups.push_back(std::make_unique<AddressLookup>(s.query));
    }
    for (size_t i = 0; i < lookups.size(); ++i) {
        if (!lookups[i])
            continue;
        AddressLookup* lookup = lookups[i].get();
        ProcessEventsUntil(lookup, &AddressLookup::answered,
                           [&] { return lookup->IsFinished() || (givenUp && givenUp()); });
        if (!lookup->IsFinished())
            return;
        sources[qsizetype(i)].answer = lookup->Answer();
    }
}

} // namespace platform
