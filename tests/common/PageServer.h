#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// How a throwaway PageServer behaves; `server.start({.root = ftp.root(), .staleSeconds = 2})`
// names only what a test is about.
struct PageServerOptions {
    // The folder whose files it serves, as a web server shows the folder an upload goes to.
    QString root{};
    // A file that changed is served as it was for this many seconds more, as a cache in front
    // of a site does.
    int staleSeconds = 0;
    // Plain HTTP, or HTTPS with a certificate from an authority of the server's own, issued
    // for 127.0.0.1 or for another name.
    enum class Tls { None, ForThisHost, ForAnotherName } tls = Tls::None;
};

// A real web server (tests/common/pageserver.py, $VANTRELL_PAGE_SERVER) on 127.0.0.1 and a
// free port, serving a folder where visitors open the page, and a few odd addresses besides
// (see the script): /odd/loop, /odd/endless, /odd/drip, /odd/login/<path>,
// /odd/cookie/<path>. Stopped when the object goes.
class PageServer {
public:
    using Options = PageServerOptions;

    ~PageServer();
    // Starts it and waits until it listens. False with errorString() on failure.
    bool start(const Options& options);
    QString errorString() const { return m_error; }

    // "http://127.0.0.1:<port>/<path>", or https://.
    QString url(const QString& path) const;
    // The authority that issued the certificate, for SSL_CERT_FILE.
    QString authorityFile() const { return m_folder.filePath(QStringLiteral("authority.crt")); }
    // Every request so far, one a line: "<path> cache-control=<value> cookie=<value>".
    QStringList requests() const;

private:
    bool makeCertificates(const QString& name);

    QTemporaryDir m_folder;
    QProcess m_process;
    QString m_scheme = QStringLiteral("http");
    quint16 m_port = 0;
    QString m_error;
};
