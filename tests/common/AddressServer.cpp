#include "AddressServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

AddressServer::~AddressServer() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool AddressServer::start() {
    return start(Options{});
}

bool AddressServer::start(const Options& options) {
    QString python = qEnvironmentVariable("VANTRELL_TEST_PYTHON");
    if (python.isEmpty())
        python = QStringLiteral("/usr/bin/python3");
    const QString script = qEnvironmentVariable("VANTRELL_ADDRESS_SERVER");
    if (script.isEmpty()) {
        m_error = QStringLiteral("VANTRELL_ADDRESS_SERVER is not set; run the test through ctest");
        return false;
    }
    QStringList args{script};
    if (options.https)
        args << QStringLiteral("--https")
             << QFileInfo(script).dir().filePath(QStringLiteral("selfsigned.pem"));
    if (!options.ssdpAddress.isEmpty())
        args << QStringLiteral("--ssdp") << options.ssdpAddress;

    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(python, args);
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("cannot run %1: %2").arg(python, m_process.errorString());
        return false;
    }
    const QDeadlineTimer deadline(20000);
    while (!m_ready) {
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired() ||
            !m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            readLines();
            if (m_ready)
                break;
            m_error = QStringLiteral("the address stand-in did not start");
            return false;
        }
        readLines();
    }
    return true;
}

void AddressServer::readLines() {
    while (m_process.state() == QProcess::Running && m_process.waitForReadyRead(0)) {
    }
    m_pending += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_pending.left(end)).trimmed();
        m_pending.remove(0, end + 1);
        if (line.startsWith(QStringLiteral("HTTP ")))
            m_port = quint16(line.mid(5).toUInt());
        else if (line.startsWith(QStringLiteral("HTTPS ")))
            m_httpsPort = quint16(line.mid(6).toUInt());
        else if (line.startsWith(QStringLiteral("SSDP-FAILED ")))
            m_ssdpError = line.mid(12);
        else if (line == QStringLiteral("READY"))
            m_ready = true;
        else if (line.startsWith(QStringLiteral("REQUEST ")))
            m_requests << line.mid(8);
        else if (line.startsWith(QStringLiteral("SEARCH ")))
            m_requests << line;
    }
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

QString AddressServer::router(const QString& externalAddress) const {
    return url(QStringLiteral("igd/%1/desc.xml").arg(externalAddress));
}

QStringList AddressServer::requests() {
    readLines();
    return m_requests;
}
