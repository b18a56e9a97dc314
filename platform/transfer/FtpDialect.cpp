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

    // STAT lists the folder on the command connection (no data connection, and inside TLS no
    // new login): the page's line, a listing line every server tested gives, and whatever
    // earlier uploads left beside it. MLST would need OPTS MLST first and is refused by some.
    Request modeQuery(const RemotePath& dir, const QString&) const override {
        return {directoryUrl(dir), nullptr, {QStringLiteral("*STAT .")}, Request::Listing::None};
    }
    // Only the lines of the replies about the page: a greeting or another reply may hold
    // anything.
    std::optional<int> modeIn(const Reply& reply, const QString& name) const override {
        return permissionsIn(reply.linesAnswering(u"MLST") + reply.linesAnswering(u"STAT"), name);
    }
    std::optional<QStringList> listingIn(const Reply& reply) const override {
        if (!reply.replyTo(u"STAT").startsWith(u'2'))
            return std::nullopt;
        return reply.allLines;
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
    std::optional<CertificateTrust> m_certificate;
};

} // namespace

std::unique_ptr<Dialect> MakeFtpDialect(const Site& site, const QString& trustedCertificate,
                                        const SystemCertificates* authorities) {
    return std::make_unique<FtpDialect>(site, trustedCertificate, authorities);
}

} // namespace platform::inet
