#include "SystemCertificates.h"

#include <QDir>
#include <QFile>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

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

SystemCertificates::SystemCertificates() : m_store(X509_STORE_new()) {
    if (!m_store)
        return;
    const QString bundle = BundleFile();
    const bool fromBundle =
        QFile::exists(bundle) &&
        X509_STORE_load_file(m_store, QFile::encodeName(bundle).constData()) == 1 &&
        sk_X509_OBJECT_num(X509_STORE_get0_objects(m_store)) > 0;
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

SystemCertificates::~SystemCertificates() {
    X509_STORE_free(m_store);
}

} // namespace platform
