#pragma once

#include "SystemCertificates.h"
#include "TrustProblem.h"

#include <QString>

#include <curl/curl.h>

struct x509_store_ctx_st;

namespace platform {

// Decides, during the TLS handshake of one request, whether the server is the one meant. A
// chain the system's certificate store trusts, issued for the site's host name, passes. Else
// only the very certificate the user chose to trust passes, known by its SHA-256 fingerprint,
// which needs no certificate store at all. Anything else ends the handshake there, before a
// user name or password is sent, and problem() says what was presented.
class CertificateTrust {
public:
    // host: the name or address the site gives (no brackets); trustedFingerprint: as
    // `openssl x509 -fingerprint -sha256` prints it, or empty; authorities: the system's,
    // outliving this object.
    CertificateTrust(const QString& host, int port, const QString& trustedFingerprint,
                     const SystemCertificates& authorities);

    // Has the handle's TLS handshakes checked here; this object must outlive the request.
    // False when this libcurl does not use OpenSSL and so cannot be checked this way.
    bool install(CURL* easy);

    const TrustProblem& problem() const { return m_problem; }

    // Fingerprints compare without regard to case or blanks; a leading "SHA256 Fingerprint="
    // as openssl prints it is allowed.
    static bool sameFingerprint(const QString& a, const QString& b);

private:
    static CURLcode prepareContext(CURL* easy, void* sslContext, void* self);
    static int verify(int preverifyOk, ::x509_store_ctx_st* store);

    QByteArray m_host;
    int m_port = 0;
    QString m_trusted;
    const SystemCertificates& m_authorities;
    TrustProblem m_problem;
};

} // namespace platform
