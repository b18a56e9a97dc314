#include "UpnpEvents.h"

#include "UpnpGateway.h"
#include "WatchPlan.h"

#include <QMap>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>

#include <mutex>
#include <thread>

namespace platform {

using namespace std::chrono_literals;

namespace {

// What a router's answer or event may take: its head, its body, the time for either, and how
// many of its connections are heard at once.
constexpr qsizetype MaxHead = 8 * 1024;
constexpr qsizetype MaxBody = 16 * 1024;
constexpr auto Patience = 5s;
constexpr int MaxIncoming = 4;
// How long a subscription is asked for; the router may grant less.
constexpr int AskedSeconds = 1800;
// The longest wait before the router is looked for again.
constexpr std::chrono::seconds LongestRetry = 15min;

// The first line of an HTTP message and its headers, names in lower case.
struct Head {
    QByteArray first;
    QMap<QByteArray, QByteArray> headers;
};

Head parseHead(const QByteArray& head) {
    Head h;
    const QList<QByteArray> lines = head.split('\n');
    h.first = lines.value(0).trimmed();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            h.headers.insert(lines[i].left(colon).trimmed().toLower(),
                             lines[i].mid(colon + 1).trimmed());
    }
    return h;
}

// "Second-1800" as granted, "infinite" as what was asked.
int grantedSeconds(const QByteArray& timeout) {
    bool ok = false;
    const int seconds = timeout.toLower().startsWith("second-") ? timeout.mid(7).toInt(&ok) : 0;
    return ok && seconds > 0 ? seconds : AskedSeconds;
}

QByteArray hostHeader(const QUrl& url) {
    const QByteArray host = url.host(QUrl::FullyEncoded).toUtf8();
    return (host.contains(':') ? '[' + host + ']' : host) + ':' + QByteArray::number(url.port(80));
}

QByteArray pathOf(const QUrl& url) {
    QByteArray path = url.path(QUrl::FullyEncoded).toUtf8();
    if (path.isEmpty())
        path = "/";
    if (url.hasQuery())
        path += '?' + url.query(QUrl::FullyEncoded).toUtf8();
    return path;
}

// The router's external address as the event tells it; empty when it tells none.
QString eventAddress(const QByteArray& body) {
    static const QRegularExpression element(
        QStringLiteral("<(?:[A-Za-z0-9_.-]+:)?ExternalIPAddress(?:\\s[^>]*)?>\\s*([^<]*?)\\s*</"));
    const QHostAddress address(element.match(QString::fromLatin1(body)).captured(1));
    return address.protocol() == QAbstractSocket::IPv4Protocol ? address.toString() : QString();
}

bool sameHost(const QHostAddress& a, const QHostAddress& b) {
    return a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4);
}

} // namespace

// What the thread that looks for the router shares with the events: they may be gone, or
// looking anew, before it is done.
struct UpnpFinding {
    std::mutex mutex;
    UpnpEvents* receiver = nullptr;
};

UpnpEvents::UpnpEvents(QObject* parent) : QObject(parent) {
    // A path nobody else on the network can guess: the router learns it from us alone.
    m_callbackPath =
        "/vantrell/" + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    for (QTimer* timer : {&m_findDeadline, &m_requestDeadline, &m_renew, &m_retry})
        timer->setSingleShot(true);
    connect(&m_findDeadline, &QTimer::timeout, this,
            [this] { found(m_finding, {}, QStringLiteral("the router gave no answer")); });
    connect(&m_requestDeadline, &QTimer::timeout, this, [this] {
        failed(QStringLiteral("the router did not answer the subscription within %1 seconds")
                   .arg(Patience.count()));
    });
    connect(&m_renew, &QTimer::timeout, this, [this] { subscribe(true); });
    connect(&m_retry, &QTimer::timeout, this, [this] { find(); });
    connect(&m_listener, &QTcpServer::newConnection, this, &UpnpEvents::accept);
}

UpnpEvents::~UpnpEvents() {
    if (m_finding) {
        std::lock_guard lock(m_finding->mutex);
        m_finding->receiver = nullptr;
    }
}

void UpnpEvents::Start(const QString& routerURL) {
    m_routerURL = routerURL;
    m_stopped = false;
    m_failures = 0;
    find();
}

void UpnpEvents::NetworkChanged() {
    if (m_stopped || m_finding || (m_request && !m_renewing))
        return;
    if (m_sid.isEmpty()) {
        m_failures = 0;
        find();
    } else if (!QNetworkInterface::allAddresses().contains(m_listener.serverAddress())) {
        find();
    }
}

void UpnpEvents::find() {
    m_retry.stop();
    m_renew.stop();
    dropRequest();
    m_sid.clear();
    if (m_finding) {
        std::lock_guard lock(m_finding->mutex);
        m_finding->receiver = nullptr;
    }
    auto finding = std::make_shared<UpnpFinding>();
    finding->receiver = this;
    m_finding = finding;
    m_findDeadline.start(Patience + 2s);
    std::thread([finding, url = m_routerURL] {
        const UpnpEventPoint point = FindUpnpEventPoint(url, Patience);
        std::lock_guard lock(finding->mutex);
        if (UpnpEvents* receiver = finding->receiver)
            QMetaObject::invokeMethod(
                receiver,
                [receiver, finding, point] {
                    receiver->found(finding, point.eventURL, point.error);
                },
                Qt::QueuedConnection);
    }).detach();
}

void UpnpEvents::found(const std::shared_ptr<UpnpFinding>& finding, const QString& eventURL,
                       const QString& error) {
    if (!finding || finding != m_finding)
        return;
    {
        std::lock_guard lock(finding->mutex);
        finding->receiver = nullptr;
    }
    m_finding.reset();
    m_findDeadline.stop();
    if (eventURL.isEmpty()) {
        failed(error);
        return;
    }
    m_eventURL = QUrl(eventURL);
    subscribe(false);
}

void UpnpEvents::subscribe(bool renew) {
    dropRequest();
    m_renewing = renew;
    m_reply.clear();
    m_request = std::make_unique<QTcpSocket>();
    QTcpSocket* request = m_request.get();
    connect(request, &QTcpSocket::connected, this, &UpnpEvents::sendSubscribe);
    connect(request, &QTcpSocket::readyRead, this, &UpnpEvents::readReply);
    // Whatever ends the connection before the whole answer is read ends the subscription.
    connect(request, &QTcpSocket::errorOccurred, this, [this, request] {
        failed(QStringLiteral("the router's events could not be subscribed to (%1)")
                   .arg(request->errorString()));
    });
    m_requestDeadline.start(Patience);
    request->connectToHost(m_eventURL.host(), quint16(m_eventURL.port(80)));
}

void UpnpEvents::sendSubscribe() {
    if (!m_renewing && !listenOn(m_request->localAddress()))
        return;
    m_router = m_request->peerAddress();
    QByteArray text =
        "SUBSCRIBE " + pathOf(m_eventURL) + " HTTP/1.1\r\nHOST: " + hostHeader(m_eventURL) + "\r\n";
    if (m_renewing) {
        text += "SID: " + m_sid.toUtf8() + "\r\n";
    } else {
        const QHostAddress local = m_listener.serverAddress();
        const QByteArray host = local.protocol() == QAbstractSocket::IPv6Protocol
                                    ? '[' + local.toString().toUtf8() + ']'
                                    : local.toString().toUtf8();
        text += "CALLBACK: <http://" + host + ':' + QByteArray::number(m_listener.serverPort()) +
                m_callbackPath + ">\r\nNT: upnp:event\r\n";
    }
    text += "TIMEOUT: Second-" + QByteArray::number(AskedSeconds) +
            "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    m_request->write(text);
}

void UpnpEvents::readReply() {
    m_reply += m_request->read(MaxHead + 1 - m_reply.size());
    const qsizetype end = m_reply.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_reply.size() > MaxHead)
            failed(QStringLiteral("the router's answer to the subscription is too long"));
        return;
    }
    const Head head = parseHead(m_reply.left(end));
    const QList<QByteArray> status = head.first.split(' ');
    const bool accepted = status.value(0).startsWith("HTTP/") && status.value(1) == "200";
    const QByteArray sid = head.headers.value("sid");
    const bool renewing = m_renewing;
    if (!accepted || sid.isEmpty()) {
        // A router that restarted has forgotten the subscription: it is made anew, once.
        if (renewing) {
            m_sid.clear();
            subscribe(false);
        } else {
            failed(QStringLiteral("the router refused the subscription to its events (%1)")
                       .arg(QString::fromLatin1(head.first.left(80))));
        }
        return;
    }
    dropRequest();
    m_sid = QString::fromLatin1(sid);
    m_problem.clear();
    m_failures = 0;
    // Renewed half way, so that a router slow to answer still hears in time.
    m_renew.start(
        std::chrono::seconds(std::max(1, grantedSeconds(head.headers.value("timeout")) / 2)));
}

void UpnpEvents::failed(const QString& reason) {
    dropRequest();
    m_sid.clear();
    m_problem = reason;
    m_renew.stop();
    ++m_failures;
    if (!m_stopped)
        m_retry.start(RetryDelay(m_failures, LongestRetry));
}

void UpnpEvents::dropRequest() {
    m_requestDeadline.stop();
    if (!m_request)
        return;
    m_request->disconnect(this);
    m_request->abort();
    // It may be the one whose signal brought us here.
    m_request.release()->deleteLater();
}

bool UpnpEvents::listenOn(const QHostAddress& address) {
    if (m_listener.isListening() && m_listener.serverAddress() == address)
        return true;
    m_listener.close();
    // On the address from which the router is reached, and no other.
    if (m_listener.listen(address, 0))
        return true;
    failed(QStringLiteral("the router's events cannot be heard on %1 (%2)")
               .arg(address.toString(), m_listener.errorString()));
    return false;
}

void UpnpEvents::accept() {
    while (QTcpSocket* socket = m_listener.nextPendingConnection()) {
        socket->setParent(this);
        if (m_incoming >= MaxIncoming || !sameHost(socket->peerAddress(), m_router)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_incoming;
        connect(socket, &QObject::destroyed, this, [this] { --m_incoming; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(Patience, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        struct Incoming {
            QByteArray message;
            bool answered = false;
        };
        auto incoming = std::make_shared<Incoming>();
        // Answered once the head and the body its length names have come, or without a length
        // once the router has sent all it will.
        const auto answerWhenWhole = [this, socket, incoming](bool closed) {
            const qsizetype end = incoming->message.indexOf("\r\n\r\n");
            if (incoming->answered || end < 0)
                return;
            bool ok = false;
            const qsizetype length = parseHead(incoming->message.left(end))
                                         .headers.value("content-length")
                                         .toLongLong(&ok);
            if (ok ? incoming->message.size() >= end + 4 + length : closed) {
                incoming->answered = true;
                answerNotify(socket, incoming->message);
            }
        };
        connect(socket, &QTcpSocket::readyRead, socket, [socket, incoming, answerWhenWhole] {
            incoming->message.append(
                socket->read(MaxHead + MaxBody + 1 - incoming->message.size()));
            if (incoming->message.size() > MaxHead + MaxBody) {
                socket->abort();
                socket->deleteLater();
                return;
            }
            answerWhenWhole(false);
        });
        connect(socket, &QTcpSocket::readChannelFinished, socket,
                [answerWhenWhole] { answerWhenWhole(true); });
    }
}

void UpnpEvents::answerNotify(QTcpSocket* socket, const QByteArray& message) {
    const qsizetype end = message.indexOf("\r\n\r\n");
    const Head head = parseHead(message.left(end));
    const QList<QByteArray> request = head.first.split(' ');
    const QByteArray sid = head.headers.value("sid");
    // An event for a subscription we no longer hold tells the router to drop it. One may come
    // before the answer to the subscription has been read.
    const bool ours = m_sid.isEmpty() ? m_request && !m_renewing : sid == m_sid.toLatin1();
    const bool notify = request.value(0) == "NOTIFY" && request.value(1) == m_callbackPath;
    socket->write(!notify ? "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"
                  : !ours ? "HTTP/1.1 412 Precondition Failed\r\nContent-Length: 0\r\n\r\n"
                          : "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    socket->disconnectFromHost();
    const QByteArray body = message.mid(end + 4, MaxBody);
    // Other state (the port mappings, say) changes often and says nothing of the address.
    if (notify && ours && (body.contains("ExternalIPAddress") || body.contains("ConnectionStatus")))
        emit announced(eventAddress(body));
}

void UpnpEvents::Stop(std::chrono::milliseconds patience) {
    m_stopped = true;
    m_retry.stop();
    m_renew.stop();
    dropRequest();
    if (m_finding) {
        std::lock_guard lock(m_finding->mutex);
        m_finding->receiver = nullptr;
    }
    m_finding.reset();
    m_findDeadline.stop();
    if (!m_sid.isEmpty()) {
        const QDeadlineTimer deadline(patience);
        QTcpSocket socket;
        socket.connectToHost(m_eventURL.host(), quint16(m_eventURL.port(80)));
        if (socket.waitForConnected(int(deadline.remainingTime()))) {
            socket.write("UNSUBSCRIBE " + pathOf(m_eventURL) + " HTTP/1.1\r\nHOST: " +
                         hostHeader(m_eventURL) + "\r\nSID: " + m_sid.toUtf8() +
                         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            if (socket.waitForBytesWritten(int(deadline.remainingTime())))
                socket.waitForReadyRead(int(deadline.remainingTime()));
        }
        m_sid.clear();
    }
    m_listener.close();
}

} // namespace platform
