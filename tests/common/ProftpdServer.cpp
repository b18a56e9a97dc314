#include "ProftpdServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTest>

#include <optional>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// Runs one of the key tools to its end; its standard output, or an empty result on failure.
std::optional<QByteArray> runTool(const QString& program, const QStringList& args, QString* error) {
    QProcess tool;
    tool.start(program, args);
    if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        *error = QStringLiteral("%1 %2 failed: %3 %4")
                     .arg(program, args.join(u' '), tool.errorString(),
                          QString::fromLocal8Bit(tool.readAllStandardError()));
        return std::nullopt;
    }
    return tool.readAllStandardOutput();
}

bool writeText(const QString& path, const QString& text, QFile::Permissions permissions) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(text.toUtf8()) == text.toUtf8().size() && f.setPermissions(permissions);
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Three ports nobody listens on right now. The server binds them a moment later; when
// something else got there first, start() tries again with others.
std::array<quint16, 3> freePorts() {
    std::array<QTcpServer, 3> probes;
    std::array<quint16, 3> ports{};
    for (size_t i = 0; i < probes.size(); ++i) {
        probes[i].listen(QHostAddress::LocalHost, 0);
        ports[i] = probes[i].serverPort();
    }
    return ports;
}

} // namespace

ProftpdServer::ProftpdServer() = default;

ProftpdServer::~ProftpdServer() {
    stop();
}

QString ProftpdServer::path(const QString& name) const {
    return m_dir.filePath(name);
}

QString ProftpdServer::root() const {
    return path(QStringLiteral("root"));
}

QString ProftpdServer::site(Protocol protocol) const {
    static const char* const schemes[] = {"ftpes", "ftps", "sftp"};
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(QString::fromLatin1(schemes[protocol]))
        .arg(m_ports[protocol]);
}

QString ProftpdServer::authorityFile() const {
    return path(QStringLiteral("authority.crt"));
}

QString ProftpdServer::knownHostsLine() const {
    return QStringLiteral("[127.0.0.1]:%1 %2").arg(m_ports[Sftp]).arg(m_hostKey);
}

bool ProftpdServer::start() {
    if (!m_dir.isValid() || !QDir(m_dir.path()).mkpath(QStringLiteral("root"))) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    if (!makeKeys())
        return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_ports = freePorts();
        if (!writeConfiguration())
            return false;
        if (launch())
            return true;
        if (!m_error.contains(QStringLiteral("in use")))
            return false;
    }
    return false;
}

bool ProftpdServer::makeKeys() {
    // A certificate authority of its own signs the server's certificate, so that a test can
    // make the certificate trusted by naming the authority in SSL_CERT_FILE.
    const QStringList newKey{"-newkey", "ec",    "-pkeyopt", "ec_paramgen_curve:prime256v1",
                             "-nodes",  "-days", "2"};
    if (!runTool(QStringLiteral("openssl"),
                 QStringList{"req", "-x509"} + newKey +
                     QStringList{"-subj", "/CN=Vantrell test authority", "-keyout",
                                 path("authority.key"), "-out", authorityFile()},
                 &m_error) ||
        !runTool(QStringLiteral("openssl"),
                 QStringList{"req", "-x509"} + newKey +
                     QStringList{"-subj", "/CN=localhost", "-addext",
                                 "subjectAltName=DNS:localhost", "-addext",
                                 "basicConstraints=critical,CA:FALSE", "-CA", authorityFile(),
                                 "-CAkey", path("authority.key"), "-keyout", path("tls.key"),
                                 "-out", path("tls.crt")},
                 &m_error))
        return false;
    const auto fingerprint =
        runTool(QStringLiteral("openssl"),
                {"x509", "-in", path("tls.crt"), "-noout", "-fingerprint", "-sha256"}, &m_error);
    if (!fingerprint)
        return false;
    m_certificateFingerprint = QString::fromLatin1(*fingerprint).section(u'=', 1).trimmed();

    if (!runTool(QStringLiteral("ssh-keygen"),
                 {"-q", "-t", "ecdsa", "-b", "256", "-m", "PEM", "-N", "", "-C", "", "-f",
                  path("ssh_host_key")},
                 &m_error))
        return false;
    m_hostKey = QString::fromLatin1(readAll(path("ssh_host_key.pub"))).simplified();
    const auto listed = runTool(QStringLiteral("ssh-keygen"),
                                {"-l", "-E", "sha256", "-f", path("ssh_host_key.pub")}, &m_error);
    if (!listed)
        return false;
    m_hostKeyFingerprint = QString::fromLatin1(*listed).section(u' ', 1, 1);

    // The one user, from a passwd-format file of its own: the server switches to its uid after
    // the login, so it is whoever runs the test and the served folder is theirs.
    const auto hash = runTool(QStringLiteral("openssl"), {"passwd", "-5", password()}, &m_error);
    if (!hash)
        return false;
    const QString passwd = QStringLiteral("%1:%2:%3:%4::%5:/bin/sh\n")
                               .arg(user(), QString::fromLatin1(hash->trimmed()))
                               .arg(getuid())
                               .arg(getgid())
                               .arg(root());
    const QString group = QStringLiteral("vantrell:x:%1:\n").arg(getgid());
    const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    if (!writeText(path("passwd"), passwd, ownerOnly) ||
        !writeText(path("group"), group, ownerOnly)) {
        m_error = QStringLiteral("cannot write the user file");
        return false;
    }
    return true;
}

bool ProftpdServer::writeConfiguration() {
    // The daemon runs as whoever runs the test; as root it would otherwise stay root.
    const bool root = getuid() == 0;
    const passwd* pw = getpwuid(getuid());
    const group* gr = getgrgid(getgid());
    const QString runAs = QStringLiteral("User %1\nGroup %2\n")
                              .arg(QString::fromLocal8Bit(pw ? pw->pw_name : "nobody"),
                                   QString::fromLocal8Bit(gr ? gr->gr_name : "nogroup"));
    QString config =
        QStringLiteral("ServerType standalone\n"
                       "ServerName \"Vantrell test\"\n"
                       "DefaultAddress 127.0.0.1\n"
                       "SocketBindTight on\n"
                       "UseIPv6 off\n"
                       "UseReverseDNS off\n"
                       "Port %1\n"
                       "PidFile %4/proftpd.pid\n"
                       "ScoreboardFile %4/proftpd.scoreboard\n"
                       "DelayTable none\n"
                       "%5"
                       "<IfModule mod_ctrls.c>\n  ControlsEngine off\n</IfModule>\n"
                       "ModulePath /usr/lib/proftpd\n"
                       "LoadModule mod_tls.c\n"
                       "LoadModule mod_sftp.c\n"
                       "<Global>\n"
                       "  AuthOrder mod_auth_file.c\n"
                       "  AuthUserFile %4/passwd\n"
                       "  AuthGroupFile %4/group\n"
                       "  RequireValidShell off\n"
                       "  UseFtpUsers off\n"
                       "  WtmpLog off\n"
                       "  TransferLog none\n"
                       "%6"
                       "  AllowOverwrite on\n"
                       "  Umask 022\n"
                       "  ExtendedLog %4/commands.log ALL\n"
                       "%7"
                       "</Global>\n"
                       "TLSEngine on\n"
                       "TLSRequired on\n"
                       "TLSECCertificateFile %4/tls.crt\n"
                       "TLSECCertificateKeyFile %4/tls.key\n"
                       "<VirtualHost 127.0.0.1>\n"
                       "  Port %2\n"
                       "  TLSEngine on\n"
                       "  TLSRequired on\n"
                       "  TLSOptions UseImplicitSSL\n"
                       "  TLSECCertificateFile %4/tls.crt\n"
                       "  TLSECCertificateKeyFile %4/tls.key\n"
                       "</VirtualHost>\n"
                       "<VirtualHost 127.0.0.1>\n"
                       "  Port %3\n"
                       "  SFTPEngine on\n"
                       "  SFTPHostKey %4/ssh_host_key\n"
                       "  SFTPAuthMethods password\n"
                       "  SFTPLog %4/sftp.log\n"
                       "</VirtualHost>\n")
            .arg(m_ports[Ftpes])
            .arg(m_ports[Ftps])
            .arg(m_ports[Sftp])
            .arg(m_dir.path(), runAs,
                 // Root's logins need leave, and root is not locked into the folder otherwise.
                 root ? QStringLiteral("  RootLogin on\n  DefaultRoot ~\n") : QString(), m_more);
    if (m_passivePorts[0] != 0)
        config +=
            QStringLiteral("PassivePorts %1 %2\n").arg(m_passivePorts[0]).arg(m_passivePorts[1]);
    if (!writeText(path("proftpd.conf"), config, QFile::ReadOwner | QFile::WriteOwner)) {
        m_error = QStringLiteral("cannot write the configuration");
        return false;
    }
    return true;
}

// True when something listens on 127.0.0.1:port. Read from the kernel's table rather than by
// connecting, which the server would log as a session.
static bool listening(quint16 port) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local =
        "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && fields[3] == "0A")
            return true;
    }
    return false;
}

bool ProftpdServer::launch() {
    m_systemLog.clear();
    // In the foreground and without a SystemLog, ProFTPD logs to standard error. A shell stands
    // between, so that the server ends with the test's end of its input, even when the test
    // itself ends abruptly.
    const QString proftpd = QFile::exists(QStringLiteral("/usr/sbin/proftpd"))
                                ? QStringLiteral("/usr/sbin/proftpd")
                                : QStringLiteral("proftpd");
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setReadChannel(QProcess::StandardError);
    m_process.start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"),
         QStringLiteral("\"$0\" -n -c \"$1\" </dev/null & cat >/dev/null; kill $!; wait"), proftpd,
         path("proftpd.conf")});
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("cannot run /bin/sh: ") + m_process.errorString();
        return false;
    }
    // "STARTUP" comes once the configuration is read, shortly before the ports listen.
    const QDeadlineTimer deadline(30000);
    const auto failed = [this] {
        return m_systemLog.contains("Unable to start") || m_systemLog.contains("fatal:") ||
               m_process.state() == QProcess::NotRunning;
    };
    while (!m_systemLog.contains(" mode STARTUP") && !failed() && !deadline.hasExpired()) {
        m_process.waitForReadyRead(int(deadline.remainingTime()));
        m_systemLog += m_process.readAllStandardError();
    }
    const bool ready = !failed() && QTest::qWaitFor(
                                        [this] {
                                            return listening(m_ports[Ftpes]) &&
                                                   listening(m_ports[Ftps]) &&
                                                   listening(m_ports[Sftp]);
                                        },
                                        int(qMax<qint64>(0, deadline.remainingTime())));
    if (!ready) {
        m_systemLog += m_process.readAllStandardError();
        m_error = QStringLiteral("proftpd did not start (is proftpd-core installed?): ") +
                  QString::fromLocal8Bit(m_systemLog);
        stop();
        return false;
    }
    return true;
}

void ProftpdServer::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QStringList ProftpdServer::log() {
    // Sessions write to the same standard error; poll the pipe without blocking.
    while (m_process.state() == QProcess::Running && m_process.waitForReadyRead(0)) {
    }
    m_systemLog += m_process.readAllStandardError();
    const QByteArray all = m_systemLog + readAll(path("commands.log")) + readAll(path("sftp.log"));
    return QString::fromLocal8Bit(all).split(u'\n', Qt::SkipEmptyParts);
}

bool ProftpdServer::sawLoginOrPassword() {
    for (const QString& line : log()) {
        if (line.contains(QStringLiteral("Login successful")) ||
            line.contains(QStringLiteral("\"PASS ")) || line.contains(QStringLiteral("userauth")) ||
            line.contains(QStringLiteral("authenticated via")))
            return true;
    }
    return false;
}
