// FTP, in the clear or inside TLS: explicit (ftpes://, AUTH TLS on the plain port) or implicit
// (ftps://, TLS from the first byte).

#include "CertificateTrust.h"
#include "InetDialect.h"

#include <algorithm>
#include <optional>

namespace platform::inet {

namespace {

class FtpDialect final : public Dialect {
public:
    FtpDialect(const Site& site, const QString& trustedCertificate,
               const SystemCertificates* authorities)
        : Dialect(site) {
        if (site.protocol != Protocol::Ftp)
            m_certificate.emplace(site.host, site.port, trustedCertificate, *authorities);
    }

    bool prepare(CURL* easy, const Request&, QString* error) override {
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR,
                         m_site.protocol == Protocol::Ftps ? "ftps" : "ftp");
        curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_MULTICWD));
        curl_easy_setopt(easy, CURLOPT_TRANSFERTEXT, 0L); // the page is bytes; CR LF stays
        curl_easy_setopt(easy, CURLOPT_FTPPORT, nullptr); // passive
        if (!m_certificate)
            return true;
        // Commands and data alike, or nothing at all: a server that will not speak TLS never
        // sees the password.
        curl_easy_setopt(easy, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        // Some servers refuse the older "AUTH SSL" that curl tries first, at the cost of a round
        // trip on every connection.
        curl_easy_setopt(easy, CURLOPT_FTPSSLAUTH, long(CURLFTPAUTH_TLS));
        // A key share for P-256 first: servers that want it (vsftpd, pure-ftpd) otherwise ask
        // for it again, two more round trips for every handshake; those that prefer X25519
        // take P-256 all the same.
        curl_easy_setopt(easy, CURLOPT_SSL_EC_CURVES, "P-256:X25519");
        if (!m_certificate->install(easy)) {
            *error = QStringLiteral("This build of Vantrell cannot check the certificates of FTP "
                                    "servers, so nothing was sent to %1.")
                         .arg(m_site.hostAndPort);
            return false;
        }
        return true;
    }

    // Servers that want each data connection to resume the command connection's TLS session
    // (ProFTPD, vsftpd) refuse a second one over the same command connection: curl keeps the
    // first data connection's TLS 1.3 session in place of the command connection's.
    bool oneTransferPerConnection() const override { return m_certificate.has_value(); }

    // The reply to STOR, once the data connection has closed.
    bool confirmsWholeUploadOnly() const override { return true; }

    TrustProblem trustProblem() const override {
        return m_certificate ? m_certificate->problem() : TrustProblem{};
    }

    QByteArray directoryUrl(const RemotePath& dir) const override {
        return m_site.base + dir.urlPath();
    }

    // curl changes into the URL's directory one step at a time and fails when the server
    // refuses a step; with nothing to transfer, that is the whole request.
    Request directoryCheck(const RemotePath& dir) const override {
        return {directoryUrl(dir), nullptr, {}, Request::Listing::None};
    }

    // Commands run in the URL's directory, so names need no path.
    QStringList rename(const RemotePath&, const QString& from, const QString& to) const override {
        return {QStringLiteral("RNFR ") + from, QStringLiteral("RNTO ") + to};
    }
    QString removeIfAllowed(const RemotePath&, const QString& name) const override {
        return QStringLiteral("*DELE ") + name;
    }
    QString setModeIfAllowed(const RemotePath&, int mode, const QString& name) const override {
        return QStringLiteral("*SITE CHMOD %1 %2").arg(mode, 3, 8, QChar(u'0')).arg(name);
    }

    // STAT of the page alone, on the command connection (no data connection, and inside TLS
    // no new login): its listing line, which every server tested gives, with its kind and mode.
    // STAT of the folder would answer with every file beside the page, past what curl takes
    // in a reply when they are some thousands. MLST would need OPTS MLST first and is refused
    // by some.
    std::optional<Request> pageQuery(const RemotePath& dir, const QString& name) const override {
        return Request{
            directoryUrl(dir), nullptr, {QStringLiteral("*STAT ") + name}, Request::Listing::None};
    }
    std::optional<NameFacts> factsIn(const Reply& reply, const QString& name) const override {
        const QString answer = reply.replyTo(u"STAT");
        // No such file; a server that refuses STAT of a file says 500 or 502.
        if (answer.startsWith(u"550") || answer.startsWith(u"450"))
            return NameFacts{};
        if (!answer.startsWith(u'2'))
            return std::nullopt;
        const QStringList lines = reply.linesAnswering(u"STAT");
        const std::optional<QChar> kind = listedKind(lines, name);
        if (!kind) // the contents of a folder under the name, or nothing: the listing tells
            return std::nullopt;
        if (*kind == u'-')
            return NameFacts{NameFacts::Kind::File, permissionsIn(lines, name)};
        return NameFacts{*kind == u'd' ? NameFacts::Kind::Folder : NameFacts::Kind::Other, {}};
    }
    // The folder's listing, where it is needed: over a data connection, which has no limit of
    // its own (the reply's body is bounded).
    Request modeQuery(const RemotePath& dir, const QString&) const override {
        return {directoryUrl(dir), nullptr, {}, Request::Listing::Long};
    }
    std::optional<int> modeIn(const Reply& reply, const QString& name) const override {
        return permissionsIn(lines(reply), name);
    }
    std::optional<QStringList> listingIn(const Reply& reply) const override {
        if (reply.code != CURLE_OK)
            return std::nullopt;
        return lines(reply);
    }

    // A 5xx reply to STOR, not for want of space, where a plain upload would cut the page short.
    bool nameRefused(const Reply& upload) const override {
        const QString refusal = upload.lastRefusal();
        return upload.code == CURLE_UPLOAD_FAILED && refusal.startsWith(u'5') &&
               !refusal.startsWith(u"552");
    }
    // The server answered with a preliminary reply (150 or 125) and so opened the file.
    bool uploadBegan(const Reply& upload) const override {
        return std::any_of(upload.serverLines.begin(), upload.serverLines.end(),
                           [](const QString& line) { return line.startsWith(u'1'); });
    }
    // curl takes any reply below 400 for success, but RNTO has renamed only when it says 2xx.
    // A curl that does not tell which command a reply answers leaves curl's word.
    bool renamed(const Reply& reply) const override {
        const QString answer = reply.replyTo(u"RNTO");
        return reply.code == CURLE_OK && (answer.isEmpty() || answer.startsWith(u'2'));
    }
    // RNFR answered 350, so it was RNTO that failed.
    bool renameRefused(const Reply& upload) const override {
        return upload.replyTo(u"RNFR").startsWith(u"350") &&
               !upload.replyTo(u"RNTO").startsWith(u'2');
    }

private:
    static QStringList lines(const Reply& reply) {
        QStringList out;
        for (const QByteArray& line : reply.body.split('\n'))
            out << QString::fromUtf8(line).trimmed();
        return out;
    }

    std::optional<CertificateTrust> m_certificate;
};

} // namespace

std::unique_ptr<Dialect> MakeFtpDialect(const Site& site, const QString& trustedCertificate,
                                        const SystemCertificates* authorities) {
    return std::make_unique<FtpDialect>(site, trustedCertificate, authorities);
}

} // namespace platform::inet
