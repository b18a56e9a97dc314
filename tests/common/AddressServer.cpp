#include "AddressServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QUrl>

AddressServer::~AddressServer() {
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool AddressServer::start(const Options& options) {
    const QString python = qEnvironmentVariable("VANTRELL_TEST_PYTHON", "/usr/bin/python3");
    const QString script = qEnvironmentVariable("VANTRELL_ADDRESS_SERVER");
    QStringList args{script};
    if (options.https)
        args << "--https" << QFileInfo(script).dir().filePath(QStringLiteral("selfsigned.pem"));
    if (!options.ssdpAddress.isEmpty())
        args << "--ssdp" << options.ssdpAddress;
    if (!options.natPmpAddress.isEmpty())
        args << "--natpmp" << options.natPmpAddress;
    if (options.badStun)
        args << "--stun";
    if (options.ipv6)
        args << "--ipv6";
    if (options.eventSeconds > 0)
        args << "--event-seconds" << QString::number(options.eventSeconds);
    args << "--log" << m_folder.filePath(QStringLiteral("requests"));
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(python, args);
    // The script names its ports, one a line, and ends with READY.
    while (m_process.waitForReadyRead(20000) || m_process.canReadLine()) {
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            if (line.startsWith(QStringLiteral("HTTP ")))
                m_port = quint16(line.mid(5).toUInt());
            else if (line.startsWith(QStringLiteral("HTTPS ")))
                m_httpsPort = quint16(line.mid(6).toUInt());
            else if (line.startsWith(QStringLiteral("STUN ")))
                m_stunPorts.insert(line.section(u' ', 1, 1),
                                   quint16(line.section(u' ', 2, 2).toUInt()));
            else if (line.startsWith(QStringLiteral("NATPMP-FAILED ")))
                m_natPmpError = line.mid(14);
            else if (line.startsWith(QStringLiteral("SSDP-FAILED ")))
                m_ssdpError = line.mid(12);
            else if (line == QStringLiteral("READY"))
                return true;
        }
    }
    m_error = QStringLiteral("the stand-in %1 %2 did not start").arg(python, script);
    return false;
}

QString AddressServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_port).arg(path);
}

QString AddressServer::httpsUrl(const QString& path) const {
    return QStringLiteral("https://127.0.0.1:%1/%2").arg(m_httpsPort).arg(path);
}

QString AddressServer::say(const QString& text) const {
    return url(QStringLiteral("say/") + QString::fromLatin1(QUrl::toPercentEncoding(text)));
}

QString AddressServer::localhostUrl(const QString& path) const {
    return QStringLiteral("http://localhost:%1/%2").arg(m_port).arg(path);
}

QStringList AddressServer::requests() const {
    QFile log(m_folder.filePath(QStringLiteral("requests")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString AddressServer::router(const QString& externalAddress) const {
    return url(QStringLiteral("igd/%1/desc.xml").arg(externalAddress));
}

QString AddressServer::badStun(const QString& kind) const {
    return QStringLiteral("127.0.0.1:%1").arg(m_stunPorts.value(kind));
}

bool AddressServer::get(const QString& path) const {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_port);
    if (!socket.waitForConnected(10000))
        return false;
    socket.write("GET /" + path.toUtf8() + " HTTP/1.0\r\n\r\n");
    QByteArray reply;
    while (socket.waitForReadyRead(10000))
        reply += socket.readAll();
    return reply.startsWith("HTTP/1.0 200");
}

bool AddressServer::setRouterAddress(const QString& externalAddress, const QString& now) {
    return get(QStringLiteral("igd-set/%1/%2").arg(externalAddress, now));
}

bool AddressServer::announce(const QString& externalAddress, const QString& now) {
    return get(QStringLiteral("igd-announce/%1/%2").arg(externalAddress, now));
}

bool AddressServer::forgetSubscriptions(const QString& externalAddress) {
    return get(QStringLiteral("igd-forget/%1").arg(externalAddress));
}
