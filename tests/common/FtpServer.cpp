#include "FtpServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>

FtpServer::FtpServer() = default;

FtpServer::~FtpServer() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool FtpServer::start() {
    return start(Options{});
}

bool FtpServer::start(const Options& options) {
    m_options = options;
    if (options.root.isEmpty()) {
        m_ownRoot = std::make_unique<QTemporaryDir>();
        if (!m_ownRoot->isValid()) {
            m_error = QStringLiteral("no temporary folder: ") + m_ownRoot->errorString();
            return false;
        }
        m_root = m_ownRoot->path();
    } else {
        m_root = QDir(options.root).absolutePath();
    }

    QString python = qEnvironmentVariable("VANTRELL_TEST_PYTHON");
    if (python.isEmpty())
        python = QStringLiteral("/usr/bin/python3");
    const QString script = qEnvironmentVariable("VANTRELL_FTP_SERVER");
    if (script.isEmpty()) {
        m_error = QStringLiteral("VANTRELL_FTP_SERVER is not set; run the test through ctest");
        return false;
    }

    QStringList args{script,
                     QStringLiteral("--root"),
                     m_root,
                     QStringLiteral("--user"),
                     options.user,
                     QStringLiteral("--password"),
                     options.password,
                     QStringLiteral("--perm"),
                     options.permissions};
    if (options.silent)
        args << QStringLiteral("--silent");
    if (options.replyDelay.count() > 0)
        args << QStringLiteral("--reply-delay")
             << QString::number(double(options.replyDelay.count()) / 1000.0);
    if (options.dropUploadsAfter > 0)
        args << QStringLiteral("--drop-after") << QString::number(options.dropUploadsAfter);
    if (options.stallUploadsAfter > 0)
        args << QStringLiteral("--stall-after") << QString::number(options.stallUploadsAfter);
    if (options.readLimit > 0)
        args << QStringLiteral("--read-limit") << QString::number(options.readLimit);
    if (options.steadyRate > 0)
        args << QStringLiteral("--steady-rate") << QString::number(options.steadyRate);
    if (options.withholdTransferReply)
        args << QStringLiteral("--withhold-transfer-reply");
    if (options.refuseRenameOntoExisting)
        args << QStringLiteral("--refuse-rename-onto-existing");
    if (!options.refuseRenameFrom.isEmpty())
        args << QStringLiteral("--refuse-rename-from") << options.refuseRenameFrom;
    if (!options.refuseRenameTo.isEmpty())
        args << QStringLiteral("--refuse-rename-to") << options.refuseRenameTo;
    args << QStringLiteral("--rename-refusal") << options.renameRefusal;
    if (options.refuseDotFiles)
        args << QStringLiteral("--refuse-dot-files");
    if (options.refuseNewFiles)
        args << QStringLiteral("--refuse-new-files");
    if (!options.umask.isEmpty())
        args << QStringLiteral("--umask") << options.umask;
    if (options.withoutMlst)
        args << QStringLiteral("--without-mlst");
    if (options.echoPassword)
        args << QStringLiteral("--echo-password");
    args << QStringLiteral("--greeting") << options.greeting;
    if (!options.passivePorts.isEmpty())
        args << QStringLiteral("--passive-ports") << options.passivePorts;
    if (!options.loginDir.isEmpty())
        args << QStringLiteral("--login-dir") << options.loginDir;

    // Standard output carries the port and then the events; let the script's own troubles
    // show in the test's output.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(python, args);
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("cannot run %1: %2").arg(python, m_process.errorString());
        return false;
    }

    const QDeadlineTimer deadline(20000);
    while (m_port == 0) {
        readEvents();
        if (m_port != 0)
            break;
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired() ||
            !m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            readEvents();
            if (m_port != 0)
                break;
            m_error = QStringLiteral("the FTP server did not start (is python3-pyftpdlib "
                                     "installed for %1?)")
                          .arg(python);
            return false;
        }
    }
    return true;
}

QString FtpServer::url() const {
    return QStringLiteral("ftp://127.0.0.1:%1").arg(m_port);
}

void FtpServer::readEvents() {
    // QProcess only fills its buffer from the event loop or a wait; a test that has just seen
    // a command end may not have run either, so poll the pipe without blocking.
    while (m_process.state() == QProcess::Running && m_process.waitForReadyRead(0)) {
    }
    m_pending += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_pending.left(end)).trimmed();
        m_pending.remove(0, end + 1);
        if (m_port == 0 && line.startsWith(QStringLiteral("PORT ")))
            m_port = quint16(line.mid(5).toUInt());
        else if (!line.isEmpty())
            m_log << line;
    }
}

QStringList FtpServer::log() {
    readEvents();
    return m_log;
}

QStringList FtpServer::commands() {
    QStringList out;
    for (const QString& line : log()) {
        if (line.startsWith(QStringLiteral("CMD ")))
            out << line.mid(4);
    }
    return out;
}

int FtpServer::loginCount() {
    return int(log().filter(QRegularExpression(QStringLiteral("^LOGIN "))).size());
}

int FtpServer::connectionCount() {
    return int(log().filter(QRegularExpression(QStringLiteral("^CONNECT "))).size());
}
