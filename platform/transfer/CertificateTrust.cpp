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

struct GeneralNamesFree {
    void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};

// The names a certificate is for: its alternative names, or else its common name.
QStringList namesOf(X509* cert) {
    QStringList names;
    const std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> alternatives(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives.get()); ++i) {
        GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives.get(), i);
        if (name->type != GEN_DNS && name->type != GEN_IPADD)
            continue;
        // Printed as "DNS:host" or "IP Address:192.0.2.1".
        const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
        if (!bio || GENERAL_NAME_print(bio.get(), name) <= 0)
            continue;
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio.get(), &data);
        const QString printed = QString::fromUtf8(data, qsizetype(size));
        names << printed.mid(printed.indexOf(u':') + 1);
    }
    if (!names.isEmpty())
        return names;
    const X509_NAME* subject = X509_get_subject_name(cert);
    for (int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) {
        unsigned char* text = nullptr;
        const int size =
            ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)));
        if (size >= 0)
            names << QString::fromUtf8(reinterpret_cast<const char*>(text), size);
        OPENSSL_free(text);
    }
    return names;
}

// Whether the certificate is for the host as the site names it, a name or an address.
bool namesHost(X509* cert, const QByteArray& host) {
    return X509_check_ip_asc(cert, host.constData(), 0) == 1 ||
           X509_check_host(cert, host.constData(), size_t(host.size()), 0, nullptr) == 1;
}

QString normalized(QString fingerprint) {
    if (const qsizetype equals = fingerprint.indexOf(u'='); equals >= 0)
        fingerprint = fingerprint.mid(equals + 1);
    fingerprint.remove(u' ');
    return fingerprint.trimmed().toUpper();
}

} // namespace

CertificateTrust::CertificateTrust(const QString& host, int port, const QString& trustedFingerprint,
                                   const SystemCertificates& authorities)
    : m_host(host.toUtf8()), m_port(port), m_trusted(trustedFingerprint),
      m_authorities(authorities) {}

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
    // The authorities come from the store read once for the whole upload, not from curl
    // reading its bundle again for every connection (and failing before the handshake where
    // there is none).
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    return curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &CertificateTrust::prepareContext) ==
               CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this) == CURLE_OK;
}

CURLcode CertificateTrust::prepareContext(CURL*, void* sslContext, void* self) {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    auto* trust = static_cast<CertificateTrust*>(self);
    if (SSL_CTX_set_ex_data(context, contextSlot(), trust) != 1)
        return CURLE_SSL_CERTPROBLEM;
    if (X509_STORE* authorities = trust->m_authorities.Store();
        authorities && !trust->m_authorities.Missing())
        SSL_CTX_set1_cert_store(context, authorities);
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
        // A chain that is not trusted is reported before a name that does not match, which
        // matters as much: a certificate for another host may be someone else's server.
        p.names = namesOf(leaf);
        p.otherHost = !namesHost(leaf, trust->m_host);
        const int error = X509_STORE_CTX_get_error(store);
        QStringList reasons;
        if (error != X509_V_ERR_HOSTNAME_MISMATCH && error != X509_V_ERR_IP_ADDRESS_MISMATCH)
            reasons << QString::fromUtf8(X509_verify_cert_error_string(error));
        if (trust->m_authorities.Missing())
            reasons << SystemCertificates::MissingText();
        if (p.otherHost)
            reasons << (p.names.isEmpty() ? QStringLiteral("it names no host")
                                          : QStringLiteral("it is for %1, not %2")
                                                .arg(p.names.join(QStringLiteral(", ")), p.host));
        p.reason = reasons.join(QStringLiteral("; "));
        p.subject = nameText(X509_get_subject_name(leaf));
        p.issuer = nameText(X509_get_issuer_name(leaf));
        p.validFrom = timeText(X509_get0_notBefore(leaf));
        p.validUntil = timeText(X509_get0_notAfter(leaf));
    }
    return 0;
}

} // namespace platform
