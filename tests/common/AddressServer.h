#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The places the program asks for its public address, stood in for on 127.0.0.1 by
// tests/common/addressserver.py: a web service that answers with any text, and a UPnP
// internet gateway with any external address, reached by its description URL or, in a
// network namespace of the test's own, by an SSDP search. Stopped when the object goes.
//
//     AddressServer server;
//     QVERIFY2(server.start(), qPrintable(server.errorString()));
//     server.say("203.0.113.7")       // a URL whose body is that text
//     server.router("203.0.113.7")    // a gateway's description URL
class AddressServer {
public:
    struct Options {
        bool https = false;    // also serve over HTTPS, with a certificate nobody trusts
        QString ssdpAddress{}; // also answer SSDP searches with a gateway of this address
    };

    AddressServer() = default;
    ~AddressServer();
    AddressServer(const AddressServer&) = delete;
    AddressServer& operator=(const AddressServer&) = delete;

    bool start();
    bool start(const Options& options);
    QString errorString() const { return m_error; }

    // "http://127.0.0.1:<port>/<path>", or over HTTPS.
    QString url(const QString& path) const;
    QString httpsUrl(const QString& path) const;
    // A URL whose body is the text.
    QString say(const QString& text) const;
    // The description URL of a gateway with this external address ("fault": one that refuses
    // to tell it).
    QString router(const QString& externalAddress) const;
    // Empty when SSDP searches are answered, otherwise why not.
    QString ssdpError() const { return m_ssdpError; }

    // "GET /path", "POST /path", "SEARCH <type>", oldest first.
    QStringList requests();

private:
    void readLines();

    QProcess m_process;
    QByteArray m_pending;
    quint16 m_port = 0;
    quint16 m_httpsPort = 0;
    QString m_ssdpError;
    bool m_ready = false;
    QStringList m_requests;
    QString m_error;
};
