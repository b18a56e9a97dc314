#include "PageServer.h"

#include <QFile>

PageServer::~PageServer() {
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool PageServer::makeCertificates(const QString& name) {
    const QStringList newKey{"-newkey", "ec",    "-pkeyopt", "ec_paramgen_curve:prime256v1",
                             "-nodes",  "-days", "2"};
    const QString subjectAltName =
        name.front().isDigit() ? QStringLiteral("IP:") + name : QStringLiteral("DNS:") + name;
    const QList<QStringList> steps{
        QStringList{"req", "-x509"} + newKey +
            QStringList{"-subj", "/CN=Vantrell page test authority", "-keyout",
                        m_folder.filePath("authority.key"), "-out", authorityFile()},
        QStringList{"req", "-x509"} + newKey +
            QStringList{"-subj", "/CN=" + name, "-addext", "subjectAltName=" + subjectAltName,
                        "-addext", "basicConstraints=critical,CA:FALSE", "-CA", authorityFile(),
                        "-CAkey", m_folder.filePath("authority.key"), "-keyout",
                        m_folder.filePath("tls.key"), "-out", m_folder.filePath("tls.crt")},
    };
    for (const QStringList& args : steps) {
        QProcess tool;
        tool.start(QStringLiteral("openssl"), args);
        if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit ||
            tool.exitCode() != 0) {
            m_error = QStringLiteral("openssl %1 failed: %2 %3")
                          .arg(args.join(u' '), tool.errorString(),
                               QString::fromLocal8Bit(tool.readAllStandardError()));
            return false;
        }
    }
    return true;
}

bool PageServer::start(const Options& options) {
    QStringList args{qEnvironmentVariable("VANTRELL_PAGE_SERVER"),
                     "--root",
                     options.root,
                     "--stale",
                     QString::number(options.staleSeconds),
                     "--log",
                     m_folder.filePath(QStringLiteral("requests"))};
    if (options.tls != Options::Tls::None) {
        if (!makeCertificates(options.tls == Options::Tls::ForThisHost
                                  ? QStringLiteral("127.0.0.1")
                                  : QStringLiteral("elsewhere.example")))
            return false;
        args << "--https" << m_folder.filePath("tls.crt") << m_folder.filePath("tls.key");
        m_scheme = QStringLiteral("https");
    }
    const QString python = qEnvironmentVariable("VANTRELL_TEST_PYTHON", "/usr/bin/python3");
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(python, args);
    while (m_process.waitForReadyRead(20000) || m_process.canReadLine()) {
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            if (line.startsWith(QStringLiteral("PORT ")))
                m_port = quint16(line.mid(5).toUInt());
            else if (line == QStringLiteral("READY"))
                return m_port != 0;
        }
    }
    m_error = QStringLiteral("the web server %1 %2 did not start").arg(python, args.join(u' '));
    return false;
}

QString PageServer::url(const QString& path) const {
    return QStringLiteral("%1://127.0.0.1:%2/%3").arg(m_scheme).arg(m_port).arg(path);
}

QStringList PageServer::requests() const {
    QFile log(m_folder.filePath(QStringLiteral("requests")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
