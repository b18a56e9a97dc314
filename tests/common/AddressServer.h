#pragma once

#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

struct AddressServerOptions {
    bool https = false;      // also over HTTPS, with a certificate nobody trusts
    QString ssdpAddress{};   // also answer SSDP searches with a gateway of this address
    QString natPmpAddress{}; // also answer NAT-PMP on 127.0.0.1:5351 with this address
    bool badStun = false;    // also STUN servers that answer badly
    bool ipv6 = false;       // plain HTTP also on [::1], on the same port
    int eventSeconds = 0;    // how long the gateway's event subscriptions last (0: 1800 s)
};

// A web service that answers any text and a UPnP internet gateway with any external address,
// played on 127.0.0.1 by tests/common/addressserver.py ($VANTRELL_ADDRESS_SERVER), until the
// object goes.
class AddressServer {
public:
    using Options = AddressServerOptions;

    ~AddressServer();
    bool start(const Options& options = {});
    QString errorString() const { return m_error; }

    // "http://127.0.0.1:<port>/<path>", or over HTTPS.
    QString url(const QString& path) const;
    QString httpsUrl(const QString& path) const;
    // A URL whose body is the text.
    QString say(const QString& text) const;
    // "http://localhost:<port>/<path>": with the ipv6 option, over either family.
    QString localhostUrl(const QString& path) const;
    // The path of every request answered so far, in order.
    QStringList requests() const;
    // The description URL of a gateway with this external address ("fault": one that will not
    // tell it).
    QString router(const QString& externalAddress) const;
    // Empty when SSDP searches are answered, otherwise why not.
    QString ssdpError() const { return m_ssdpError; }
    // "127.0.0.1:<port>" of the STUN server that answers badly in this way ("other",
    // "garbage", "huge", "private", "v6").
    QString badStun(const QString& kind) const;
    // Empty when NAT-PMP is answered, otherwise why not.
    QString natPmpError() const { return m_natPmpError; }

    // The gateway of router(externalAddress) has another external address from now on: said
    // to nobody, or sent to every subscriber of its events. False when the stand-in did not
    // take it.
    bool setRouterAddress(const QString& externalAddress, const QString& now);
    bool announce(const QString& externalAddress, const QString& now);
    // The gateway forgets its subscriptions, as a router does when it restarts.
    bool forgetSubscriptions(const QString& externalAddress);

private:
    bool get(const QString& path) const;

    QTemporaryDir m_folder;
    QProcess m_process;
    quint16 m_port = 0;
    quint16 m_httpsPort = 0;
    QString m_ssdpError;
    QString m_natPmpError;
    QMap<QString, quint16> m_stunPorts;
    QString m_error;
};
