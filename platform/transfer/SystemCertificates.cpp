#include "SystemCertificates.h"

#include "UserFile.h"

#include <QDir>
#include <QFile>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#if defined(Q_OS_WIN)
#include <windows.h>

#include <wincrypt.h>
#endif

namespace platform {

namespace {

// OpenSSL's own variables first, as every program built on it reads them; then the places this
// libcurl was built to look, which are the ones the system's package fills.
QString located(const char* variable, const char* curlDefault, const char* opensslDefault) {
    const QString set = qEnvironmentVariable(variable);
    if (!set.isEmpty())
        return set;
    if (curlDefault && *curlDefault)
        return QString::fromLocal8Bit(curlDefault);
    return QString::fromLocal8Bit(opensslDefault);
}

#if !defined(Q_OS_WIN)
// Far beyond any real bundle (ca-certificates' is some 200 KiB).
constexpr qint64 MaxBundleSize = qint64(64) << 20;

// The certificates of a bundle that is an ordinary file: SSL_CERT_FILE may name anything, and
// OpenSSL would wait for ever for a pipe's writer, or read a device without end. How many
// certificates it added.
int loadBundle(X509_STORE* store, const QString& path) {
    const std::optional<QByteArray> pem = ReadOrdinaryFile(path, MaxBundleSize, Links::Follow);
    if (!pem || pem->isEmpty())
        return 0;
    BIO* bio = BIO_new_mem_buf(pem->constData(), int(pem->size()));
    if (!bio)
        return 0;
    STACK_OF(X509_INFO)* found = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    int added = 0;
    for (int i = 0; found && i < sk_X509_INFO_num(found); ++i) {
        const X509_INFO* info = sk_X509_INFO_value(found, i);
        if (info->x509 && X509_STORE_add_cert(store, info->x509) == 1)
            ++added;
        if (info->crl)
            X509_STORE_add_crl(store, info->crl);
    }
    sk_X509_INFO_pop_free(found, X509_INFO_free);
    return added;
}
#endif

} // namespace

QString SystemCertificates::BundleFile() {
    return located(X509_get_default_cert_file_env(), curl_version_info(CURLVERSION_NOW)->cainfo,
                   X509_get_default_cert_file());
}

QString SystemCertificates::Folder() {
    // OpenSSL takes a list; the first is where the system keeps its own.
    return located(X509_get_default_cert_dir_env(), curl_version_info(CURLVERSION_NOW)->capath,
                   X509_get_default_cert_dir())
        .section(QDir::listSeparator(), 0, 0);
}

QString SystemCertificates::MissingText() {
#if defined(Q_OS_WIN)
    return QStringLiteral("the Windows certificate store holds no trusted root certificate");
#else
    return QStringLiteral("the system's certificate store %1 is missing; the package "
                          "ca-certificates brings it")
        .arg(BundleFile());
#endif
}

#if defined(Q_OS_WIN)

// OpenSSL's default places would be folders named at build time that any user may create on
// drive C:; Windows keeps the authorities in its own store.
SystemCertificates::SystemCertificates() : m_store(X509_STORE_new()) {
    if (!m_store)
        return;
    HCERTSTORE system = CertOpenSystemStoreW(0, L"ROOT");
    if (!system)
        return;
    int added = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(system, nullptr); c;
         c = CertEnumCertificatesInStore(system, c)) {
        if (c->dwCertEncodingType != X509_ASN_ENCODING)
            continue;
        const unsigned char* der = c->pbCertEncoded;
        X509* certificate = d2i_X509(nullptr, &der, long(c->cbCertEncoded));
        if (certificate && X509_STORE_add_cert(m_store, certificate) == 1)
            ++added;
        X509_free(certificate);
    }
    CertCloseStore(system, 0);
    m_missing = added == 0;
    // Certificates OpenSSL cannot read, or has already, leave their reasons behind.
    ERR_clear_error();
}

#else

SystemCertificates::SystemCertificates() : m_store(X509_STORE_new()) {
    if (!m_store)
        return;
    const QString bundle = BundleFile();
    const bool fromBundle = loadBundle(m_store, bundle) > 0;
    const QString folder = Folder();
    // Hashed names ("5ad8a5d6.0") are the ones OpenSSL finds a certificate by.
    const bool fromFolder =
        !folder.isEmpty() && !QDir(folder).entryList({QStringLiteral("*.0")}).isEmpty() &&
        X509_STORE_load_path(m_store, QFile::encodeName(folder).constData()) == 1;
    m_missing = !fromBundle && !fromFolder;
    // A bundle that failed to load leaves its reasons behind, where curl would take them for
    // the reasons of its next failure.
    ERR_clear_error();
}

#endif

SystemCertificates::~SystemCertificates() {
    X509_STORE_free(m_store);
}

} // namespace platform
