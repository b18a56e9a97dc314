#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <memory>

class QTcpSocket;

namespace platform {

struct UpnpFinding;

// Hears the router say that its connection changed, over UPnP eventing: a subscription to the
// events of its WANIPConnection service, renewed before it runs out, and a small HTTP listener
// of our own on the address from which this machine reaches the router, which takes a NOTIFY
// from the router alone, within a few seconds and a few kilobytes. A router that is lost (it
// stops answering, or forgets the subscription when it restarts) is looked for again, after
// 30 s, then after longer and longer waits, and at once when this machine's network changes.
class UpnpEvents : public QObject {
    Q_OBJECT
public:
    explicit UpnpEvents(QObject* parent = nullptr);
    ~UpnpEvents() override;

    // Finds the router (the description at routerURL, else the first gateway that answers a
    // search of the local network) and subscribes.
    void Start(const QString& routerURL);
    // This machine's network changed: a router not found yet is looked for at once, and a
    // subscription whose listener's address is no longer this machine's is made anew.
    void NetworkChanged();
    // Ends the subscription, waiting at most `patience` for the router to hear so.
    void Stop(std::chrono::milliseconds patience);

    bool IsSubscribed() const { return !m_sid.isEmpty(); }
    // Why there is no subscription; empty while one is being made.
    QString Problem() const { return m_problem; }

signals:
    // The router told of a change of its connection. externalAddress: the address it says it
    // has now; empty when the event does not say.
    void announced(const QString& externalAddress);

private:
    friend struct UpnpFinding;
    void find();
    void found(const std::shared_ptr<UpnpFinding>& finding, const QString& eventURL,
               const QString& error);
    void subscribe(bool renew);
    void sendSubscribe();
    void readReply();
    void failed(const QString& reason);
    void dropRequest();
    bool listenOn(const QHostAddress& address);
    void accept();
    void answerNotify(QTcpSocket* socket, const QByteArray& message);

    QString m_routerURL;
    QUrl m_eventURL;
    QHostAddress m_router; // the only one whose NOTIFY counts
    QString m_sid;
    QString m_problem;
    int m_failures = 0;
    bool m_stopped = true;

    std::shared_ptr<UpnpFinding> m_finding;
    QTimer m_findDeadline;
    std::unique_ptr<QTcpSocket> m_request;
    bool m_renewing = false;
    QByteArray m_reply;
    QTimer m_requestDeadline;
    QTimer m_renew;
    QTimer m_retry;

    QTcpServer m_listener;
    QByteArray m_callbackPath;
    int m_incoming = 0;
};

} // namespace platform
