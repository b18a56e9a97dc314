#include "SystemCertificates.h"

#include "UserFile.h"

#include <QDir>
#include <QRegularExpression>
#include <QSet>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <optional>

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
// A file of the folder holds one certificate, or a few of the same subject.
constexpr qint64 MaxFolderFileSize = qint64(1) << 20;

// The certificates of PEM text; with a subject hash, only those filed under it, as OpenSSL's
// look-up in a folder would find them. How many it added.
int addCertificates(X509_STORE* store, const QByteArray& pem,
                    std::optional<unsigned long> subjectHash = {}) {
    BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    if (!bio)
        return 0;
    STACK_OF(X509_INFO)* found = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    int added = 0;
    for (int i = 0; found && i < sk_X509_INFO_num(found); ++i) {
        const X509_INFO* info = sk_X509_INFO_value(found, i);
        if (info->x509 && (!subjectHash || X509_subject_name_hash(info->x509) == *subjectHash) &&
            X509_STORE_add_cert(store, info->x509) == 1)
            ++added;
        if (info->crl && !subjectHash)
            X509_STORE_add_crl(store, info->crl);
    }
    sk_X509_INFO_pop_free(found, X509_INFO_free);
    return added;
}

// Each certificate of PEM text as it is written, from its BEGIN line to its END line.
QSet<QByteArray> certificateTexts(const QByteArray& pem) {
    static const QByteArray begin = "-----BEGIN CERTIFICATE-----";
    static const QByteArray end = "-----END CERTIFICATE-----";
    QSet<QByteArray> texts;
    for (qsizetype from = pem.indexOf(begin), to = 0; from >= 0 && to >= 0;
         from = pem.indexOf(begin, to)) {
        to = pem.indexOf(end, from);
        if (to >= 0)
            texts.insert(pem.mid(from, to + end.size() - from));
    }
    return texts;
}

// The certificates of the folder's hashed files ("5ad8a5d6.0", ".1" for the next of the same
// subject), read now rather than handed to OpenSSL: it opens them in the middle of a handshake,
// where a pipe under such a name would hold the transfer for ever. Only ordinary files count.
// The system's folder holds the bundle's certificates once more, word for word: those are
// known without reading them again, which would cost as much as the whole bundle.
int loadFolder(X509_STORE* store, const QString& folder, const QSet<QByteArray>& known) {
    static const QRegularExpression hashed(QStringLiteral("^([0-9a-f]{8})\\.[0-9]+$"));
    int added = 0;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::System, QDir::Name)) {
        const QRegularExpressionMatch match = hashed.match(name);
        if (!match.hasMatch())
            continue;
        const std::optional<QByteArray> pem =
            ReadOrdinaryFile(folder + u'/' + name, MaxFolderFileSize, Links::Follow);
        if (!pem || pem->isEmpty())
            continue;
        const QSet<QByteArray> texts = certificateTexts(*pem);
        if (!texts.isEmpty() && known.contains(texts))
            continue;
        added += addCertificates(store, *pem, match.captured(1).toULong(nullptr, 16));
    }
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
    // SSL_CERT_FILE may name anything, and OpenSSL would wait for ever for a pipe's writer, or
    // read a device without end: only an ordinary file is read.
    const std::optional<QByteArray> bundle =
        ReadOrdinaryFile(BundleFile(), MaxBundleSize, Links::Follow);
    const bool fromBundle = bundle && addCertificates(m_store, *bundle) > 0;
    const QString folder = Folder();
    const bool fromFolder = !folder.isEmpty() && loadFolder(m_store, folder,
                                                            fromBundle ? certificateTexts(*bundle)
                                                                       : QSet<QByteArray>()) > 0;
    m_missing = !fromBundle && !fromFolder;
    // A bundle that failed to load leaves its reasons behind, where curl would take them for
    // the reasons of its next failure.
    ERR_clear_error();
}

#endif

bool SystemCertificates::Give(void* sslContext) const {
    if (!m_store)
        return false;
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), m_store);
    return true;
}

SystemCertificates::~SystemCertificates() {
    X509_STORE_free(m_store);
}

} // namespace platform
