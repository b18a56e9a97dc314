#include "CertificateTrust.h"

#include <QDateTime>
#include <QTimeZone>

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>

namespace platform {

namespace {

// Where a TLS context keeps the CertificateTrust that checks its handshakes.
int contextSlot() {
    static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return slot;
}

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

QString nameText(const X509_NAME* name) {
    const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, qsizetype(size));
}

QString timeText(const ASN1_TIME* time) {
    std::tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return {};
    const QDateTime when(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                         QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), QTimeZone::utc());
    return when.toString(Qt::ISODate);
}

QString fingerprintOf(const X509* cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &size) != 1)
        return {};
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), int(size)).toHex(':').toUpper());
}

QString normalized(QString fingerprint) {
    if (const qsizetype equals = fingerprint.indexOf(u'='); equals >= 0)
        fingerprint = fingerprint.mid(equals + 1);
    fingerprint.remove(u' ');
    return fingerprint.trimmed().toUpper();
}

} // namespace

CertificateTrust::CertificateTrust(const QString& host, int port, const QString& trustedFingerprint)
    : m_host(host.toUtf8()), m_port(port), m_trusted(trustedFingerprint) {}

bool CertificateTrust::sameFingerprint(const QString& a, const QString& b) {
    const QString left = normalized(a);
    return !left.isEmpty() && left == normalized(b);
}

bool CertificateTrust::install(CURL* easy) {
    // curl keeps checking that the chain verified, against its own certificate store; the
    // host name is checked here instead, so that a certificate the user trusts by its
    // fingerprint is not turned away for its name.
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    return curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &CertificateTrust::prepareContext) ==
               CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this) == CURLE_OK;
}

CURLcode CertificateTrust::prepareContext(CURL*, void* sslContext, void* self) {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    auto* trust = static_cast<CertificateTrust*>(self);
    if (SSL_CTX_set_ex_data(context, contextSlot(), trust) != 1)
        return CURLE_SSL_CERTPROBLEM;
    // Beside curl's own bundle, the store OpenSSL knows as the system's (where SSL_CERT_FILE and
    // SSL_CERT_DIR point, when set).
    SSL_CTX_set_default_verify_paths(context);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &CertificateTrust::verify);
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(context);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, trust->m_host.constData()) != 1 &&
        X509_VERIFY_PARAM_set1_host(param, trust->m_host.constData(),
                                    size_t(trust->m_host.size())) != 1)
        return CURLE_SSL_CERTPROBLEM;
    return CURLE_OK;
}

int CertificateTrust::verify(int preverifyOk, X509_STORE_CTX* store) {
    if (preverifyOk)
        return 1;
    const auto* ssl = static_cast<const SSL*>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* trust = ssl ? static_cast<CertificateTrust*>(
                            SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), contextSlot()))
                      : nullptr;
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (!trust || !leaf)
        return 0;

    const QString fingerprint = fingerprintOf(leaf);
    if (sameFingerprint(fingerprint, trust->m_trusted)) {
        // Whatever else is wrong with it, this is the certificate the user said to trust.
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    TrustProblem& p = trust->m_problem;
    if (p.kind == TrustProblem::Kind::None) {
        p.kind = TrustProblem::Kind::Certificate;
        p.host = QString::fromUtf8(trust->m_host);
        p.port = trust->m_port;
        p.fingerprint = fingerprint;
        p.reason =
            QString::fromUtf8(X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)));
        p.subject = nameText(X509_get_subject_name(leaf));
        p.issuer = nameText(X509_get_issuer_name(leaf));
        p.validFrom = timeText(X509_get0_notBefore(leaf));
        p.validUntil = timeText(X509_get0_notAfter(leaf));
    }
    return 0;
}

} // namespace platform
