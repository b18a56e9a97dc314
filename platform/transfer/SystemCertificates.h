#pragma once

#include <QString>

struct x509_store_st;

namespace platform {

// The certificate authorities this system trusts, read once and shared by the TLS handshakes of
// one upload: the bundle that the package ca-certificates installs and the folder of hashed
// certificates beside it, or where OpenSSL's SSL_CERT_FILE and SSL_CERT_DIR point instead. On
// Windows, the user's Trusted Root Certification Authorities.
class SystemCertificates {
public:
    // Reads the bundle and the folder now, so that no handshake opens a file of theirs.
    SystemCertificates();
    ~SystemCertificates();
    SystemCertificates(const SystemCertificates&) = delete;
    SystemCertificates& operator=(const SystemCertificates&) = delete;

    static QString BundleFile();
    static QString Folder();
    // What is missing and where it comes from, for a person.
    static QString MissingText();

    // Neither the bundle nor the folder holds a certificate: nothing can be checked against it.
    bool Missing() const { return m_missing; }
    // The bundle and the folder as the handshakes use them, or null when they could not be set
    // up.
    ::x509_store_st* Store() const { return m_store; }

    // Gives a TLS context (OpenSSL's SSL_CTX, as curl hands it to its callback) these
    // authorities; false when they could not be set up.
    bool Give(void* sslContext) const;

private:
    ::x509_store_st* m_store = nullptr;
    bool m_missing = true;
};

} // namespace platform
