#include "InetSite.h"
#include "InetCommand.h"

#include <QRegularExpression>
#include <QUrl>

namespace platform::inet {

namespace {

const QString accepted = QStringLiteral(
    "the FTP Site takes host or host:port for plain FTP, or host[:port] after ftp://, ftpes:// "
    "(FTP with TLS), ftps:// (FTP with implicit TLS) or sftp:// (SSH)");

struct Scheme {
    const char* name;
    Protocol protocol;
    const char* curlScheme;
    int defaultPort;
};

constexpr Scheme schemes[] = {
    {"ftp", Protocol::Ftp, "ftp", 21},
    {"ftpes", Protocol::Ftpes, "ftp", 21},
    {"ftps", Protocol::Ftps, "ftps", 990},
    {"sftp", Protocol::Sftp, "sftp", 22},
};

} // namespace

std::optional<Site> parseSite(const QString& siteText, QString* error) {
    const QString text = siteText.trimmed();
    if (holdsLineBreak(siteText)) {
        *error = QStringLiteral("The site holds a line break or NUL character; nothing was sent.");
        return std::nullopt;
    }
    if (holdsControl(text)) {
        *error = QStringLiteral("The site holds a control character; nothing was sent.");
        return std::nullopt;
    }
    const qsizetype separator = text.indexOf(QStringLiteral("://"));
    const QString schemeText = separator < 0 ? QStringLiteral("ftp") : text.left(separator);
    const QString rest = separator < 0 ? text : text.mid(separator + 3);

    // A login typed into the site would otherwise be quoted back in every message about the
    // site. A host name never holds an "@", so any "@" is taken for one.
    if (text.contains(u'@')) {
        *error = QStringLiteral("The site holds an \"@\": the user name and password go in "
                                "their own fields, not in the site, and %1. Nothing was sent.")
                     .arg(accepted);
        return std::nullopt;
    }

    // "ftps:/host" would otherwise be plain FTP to a host called "ftps", and the login with it.
    // Only scheme names count: "server:/www" is a host with an empty port, as before.
    static const QRegularExpression schemeWithoutSlashes(
        QStringLiteral("^(s?ftps?|ftpes|https?):/"), QRegularExpression::CaseInsensitiveOption);
    if (separator < 0 && schemeWithoutSlashes.match(text).hasMatch()) {
        *error = QStringLiteral("The site \"%1\" is not a valid server address (a scheme is "
                                "followed by \"://\"); %2. Nothing was sent.")
                     .arg(text, accepted);
        return std::nullopt;
    }

    const Scheme* scheme = nullptr;
    for (const Scheme& s : schemes) {
        if (schemeText.compare(QLatin1String(s.name), Qt::CaseInsensitive) == 0)
            scheme = &s;
    }
    if (!scheme) {
        *error = QStringLiteral("The site \"%1\" has the scheme \"%2\", which Vantrell cannot "
                                "upload with; %3.")
                     .arg(text, schemeText, accepted);
        return std::nullopt;
    }

    const QUrl url(QStringLiteral("ftp://") + rest, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.hasQuery() || url.hasFragment()) {
        const QString authority = rest.section(u'/', 0, 0);
        const bool bareIpv6 = authority.count(u':') > 1 && !authority.startsWith(u'[');
        *error = QStringLiteral("The site \"%1\" is not a valid server address%2; %3.")
                     .arg(text,
                          bareIpv6 ? QStringLiteral(" (an IPv6 address goes in brackets, as in "
                                                    "[2001:db8::1]:21)")
                                   : QString(),
                          accepted);
        return std::nullopt;
    }

    Site site;
    site.protocol = scheme->protocol;
    site.host = url.host(QUrl::EncodeUnicode);
    site.port = url.port(scheme->defaultPort);
    const bool ipv6 = site.host.contains(u':');
    const QString bracketed = ipv6 ? u'[' + site.host + u']' : site.host;
    site.hostAndPort = bracketed + u':' + QString::number(site.port);
    site.base = QByteArray(scheme->curlScheme) + "://" + bracketed.toUtf8() + ':' +
                QByteArray::number(site.port);
    site.start = RemotePath::parse(url.path());
    site.start.absolute = false; // after the host, a path is relative to the login directory
    return site;
}

} // namespace platform::inet
