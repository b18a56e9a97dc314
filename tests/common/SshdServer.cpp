#include "SshdServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>

#include <QMap>
#include <QRegularExpression>

#include <cstring>

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char* const Sshd = "/usr/sbin/sshd";
const char* const Account = "vantrell-sftp";

bool runTool(const QString& program, const QStringList& args, QString* error,
             const QByteArray& input = {}, QByteArray* output = nullptr) {
    QProcess tool;
    tool.start(program, args);
    if (!input.isEmpty())
        tool.write(input);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        *error = QStringLiteral("%1 %2 failed: %3 %4")
                     .arg(program, args.join(u' '), tool.errorString(),
                          QString::fromLocal8Bit(tool.readAllStandardError()));
        return false;
    }
    if (output)
        *output = tool.readAllStandardOutput();
    return true;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const char* const keyFiles[] = {"host_rsa", "host_ecdsa", "host_ed25519"};

} // namespace

QString SshdServer::unavailable() {
    if (::geteuid() != 0)
        return QStringLiteral("sshd logs users in only when it runs as root");
    if (!QFile::exists(QString::fromLatin1(Sshd)))
        return QStringLiteral("%1 is missing (openssh-server)").arg(QString::fromLatin1(Sshd));
    return {};
}

SshdServer::SshdServer() = default;

SshdServer::~SshdServer() {
    stop();
    m_stopReading = true;
    if (m_logReader.joinable())
        m_logReader.join();
    if (m_logSocket >= 0)
        ::close(m_logSocket);
}

QString SshdServer::site() const {
    return QStringLiteral("sftp://127.0.0.1:%1").arg(m_port);
}

QString SshdServer::user() const {
    return QString::fromLatin1(Account);
}

QString SshdServer::password() const {
    return QStringLiteral("Sftp-Pa55!");
}

QString SshdServer::typeName(KeyType type) {
    static const char* const names[] = {"ssh-rsa", "ecdsa-sha2-nistp256", "ssh-ed25519"};
    return QString::fromLatin1(names[type]);
}

QString SshdServer::knownHostsLine(KeyType type) const {
    return QStringLiteral("[127.0.0.1]:%1 %2").arg(m_port).arg(m_publicKeys[type]);
}

bool SshdServer::start(const Options& options) {
    if (m_error = unavailable(); !m_error.isEmpty())
        return false;
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    Options chosen = options;
    chosen.chroot = options.chroot || options.logRequests;
    if (!makeKeys() || !prepareFolders(chosen) || (options.logRequests && !listenForLog()))
        return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            m_port = probe.serverPort();
        }
        if (launch(chosen))
            return true;
        if (!m_error.contains(QStringLiteral("in use")))
            return false;
    }
    return false;
}

bool SshdServer::makeKeys() {
    const QStringList types{"rsa", "ecdsa", "ed25519"};
    for (int i = 0; i < 3; ++i) {
        const QString file = path(QString::fromLatin1(keyFiles[i]));
        QStringList args{"-q", "-t", types[i], "-N", "", "-C", "", "-f", file};
        if (i == Rsa)
            args << "-b"
                 << "2048"; // quicker to make than the default, as good for a test
        QByteArray listed;
        if (!runTool(QStringLiteral("ssh-keygen"), args, &m_error) ||
            !runTool(QStringLiteral("ssh-keygen"), {"-l", "-E", "sha256", "-f", file + ".pub"},
                     &m_error, {}, &listed))
            return false;
        m_publicKeys[size_t(i)] = QString::fromLatin1(readAll(file + ".pub")).simplified();
        m_fingerprints[size_t(i)] = QString::fromLatin1(listed).section(u' ', 1, 1);
    }
    return true;
}

bool SshdServer::prepareFolders(const Options& options) {
    // sshd wants its privilege separation folder; Debian makes it only when the service starts.
    if (!QDir(QStringLiteral("/run/sshd")).exists() &&
        !QDir().mkpath(QStringLiteral("/run/sshd"))) {
        m_error = QStringLiteral("cannot make /run/sshd");
        return false;
    }
    if (!::getpwnam(Account)) {
        if (!runTool(QStringLiteral("useradd"),
                     {"--system", "-M", "-d", "/nonexistent", "-s", "/usr/sbin/nologin",
                      QString::fromLatin1(Account)},
                     &m_error) &&
            !::getpwnam(Account)) // another test made it meanwhile
            return false;
    }
    if (!runTool(QStringLiteral("chpasswd"), {}, &m_error,
                 QByteArray(Account) + ':' + password().toUtf8() + '\n'))
        return false;

    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    // The user reaches the login folder through this one.
    QFile::setPermissions(m_dir.path(), open);
    if (options.chroot) {
        // sshd locks a user only into a folder whose every step from "/" belongs to root and is
        // closed to others: never below /tmp.
        m_jail = std::make_unique<QTemporaryDir>(QStringLiteral("/run/vantrell-sshd-XXXXXX"));
        if (!m_jail->isValid() || !QFile::setPermissions(m_jail->path(), open)) {
            m_error = QStringLiteral("cannot make a folder under /run to lock the user into");
            return false;
        }
        m_root = m_jail->filePath(QStringLiteral("home"));
    } else {
        m_root = path(QStringLiteral("root"));
    }
    if (!QDir().mkpath(m_root) || !handOver(m_root)) {
        m_error = QStringLiteral("cannot make the login folder ") + m_root;
        return false;
    }
    return true;
}

bool SshdServer::handOver(const QString& target) const {
    const passwd* pw = ::getpwnam(Account);
    return pw && ::chown(QFile::encodeName(target).constData(), pw->pw_uid, pw->pw_gid) == 0;
}

bool SshdServer::launch(const Options& options) {
    QString config = QStringLiteral("ListenAddress 127.0.0.1\n"
                                    "Port %1\n"
                                    "PidFile none\n"
                                    "UsePAM no\n"
                                    "PasswordAuthentication %3\n"
                                    "KbdInteractiveAuthentication no\n"
                                    "PubkeyAuthentication %4\n"
                                    "PermitRootLogin no\n"
                                    "AllowUsers %2\n"
                                    "StrictModes no\n"
                                    "LogLevel VERBOSE\n"
                                    "Subsystem sftp internal-sftp\n")
                         .arg(m_port)
                         .arg(QString::fromLatin1(Account))
                         .arg(options.keysOnly ? "no" : "yes",
                              options.keysOnly || !options.authorizedKeys.isEmpty() ? "yes" : "no");
    if (options.keysOnly)
        config += QStringLiteral("AuthenticationMethods publickey\n");
    if (options.authorizedKeys.isEmpty()) {
        config += QStringLiteral("AuthorizedKeysFile none\n");
    } else {
        // Read by sshd as the user: in the folder the user may pass through.
        QFile keys(path(QStringLiteral("authorized_keys")));
        const QByteArray lines = options.authorizedKeys.join(u'\n').toUtf8() + '\n';
        if (!keys.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            keys.write(lines) != lines.size()) {
            m_error = QStringLiteral("cannot write the authorized keys");
            return false;
        }
        keys.close();
        QFile::setPermissions(keys.fileName(), QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ReadGroup | QFile::ReadOther);
        config += QStringLiteral("AuthorizedKeysFile %1\n").arg(keys.fileName());
    }
    for (const char* key : keyFiles)
        config += QStringLiteral("HostKey %1\n").arg(path(QString::fromLatin1(key)));
    if (options.sha1Rsa)
        config += QStringLiteral("HostKeyAlgorithms +ssh-rsa\n");
    if (options.chroot)
        config += QStringLiteral("ChrootDirectory %1\nForceCommand internal-sftp%2 -d /home\n")
                      .arg(m_jail->path(), m_logSocket >= 0 ? " -l DEBUG3" : "");
    else
        config += QStringLiteral("ForceCommand internal-sftp -d %1\n").arg(m_root);
    QFile file(path(QStringLiteral("sshd_config")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(config.toUtf8()) != config.toUtf8().size()) {
        m_error = QStringLiteral("cannot write the configuration");
        return false;
    }
    file.close();

    m_log.clear();
    // A shell stands between, so that sshd ends with the test's end of its input, even when the
    // test itself ends abruptly.
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setReadChannel(QProcess::StandardError);
    m_process.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("\"$0\" -D -e -f \"$1\" </dev/null & cat >/dev/null; kill $!; "
                                    "wait"),
                     QString::fromLatin1(Sshd), file.fileName()});
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("cannot run /bin/sh: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(30000);
    const QByteArray ready = "Server listening on 127.0.0.1 port " + QByteArray::number(m_port);
    while (!m_log.contains(ready) && m_process.state() == QProcess::Running &&
           !m_log.contains("fatal") && !m_log.contains("Cannot bind") && !deadline.hasExpired()) {
        m_process.waitForReadyRead(int(deadline.remainingTime()));
        m_log += m_process.readAllStandardError();
    }
    if (!m_log.contains(ready)) {
        m_error = QStringLiteral("sshd did not start: ") + QString::fromLocal8Bit(m_log);
        stop();
        return false;
    }
    return true;
}

void SshdServer::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QStringList SshdServer::log() {
    while (m_process.state() == QProcess::Running && m_process.waitForReadyRead(0)) {
    }
    m_log += m_process.readAllStandardError();
    return QString::fromLocal8Bit(m_log).split(u'\n', Qt::SkipEmptyParts);
}

// The SFTP server, locked into the jail, logs through the jail's /dev/log: a socket of the
// test's own there takes its lines.
bool SshdServer::listenForLog() {
    const QByteArray dev = QFile::encodeName(m_jail->filePath(QStringLiteral("dev")));
    const QByteArray log = dev + "/log";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!QDir().mkpath(QString::fromLocal8Bit(dev)) ||
        size_t(log.size()) >= sizeof address.sun_path) {
        m_error = QStringLiteral("cannot make the jail's /dev");
        return false;
    }
    std::memcpy(address.sun_path, log.constData(), size_t(log.size()) + 1);
    m_logSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_logSocket < 0 ||
        ::bind(m_logSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(log.constData(), 0666) != 0) {
        m_error = QStringLiteral("cannot listen on the jail's /dev/log");
        return false;
    }
    m_logReader = std::thread([this] {
        char buffer[4096];
        while (!m_stopReading) {
            pollfd p{m_logSocket, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1)
                continue;
            std::lock_guard lock(m_logMutex);
            const ssize_t got = ::recv(m_logSocket, buffer, sizeof buffer, 0);
            if (got > 0)
                m_logLines << QString::fromUtf8(buffer, got);
        }
    });
    return true;
}

QStringList SshdServer::requests() {
    static const QRegularExpression line(
        QStringLiteral(R"(\[(\d+)\]: debug\d: request \d+: ([\w-]+))"));
    QMap<int, QStringList> sessions;
    QList<int> order;
    QStringList lines;
    {
        // A line is sent before the reply to its request: whatever was answered is here.
        std::lock_guard lock(m_logMutex);
        char buffer[4096];
        for (ssize_t got;
             m_logSocket >= 0 && (got = ::recv(m_logSocket, buffer, sizeof buffer, 0)) > 0;)
            m_logLines << QString::fromUtf8(buffer, got);
        lines.swap(m_logLines);
    }
    for (const QString& text : std::as_const(lines)) {
        const QRegularExpressionMatch m = line.match(text);
        if (!m.hasMatch() || m.captured(2) == u"sent")
            continue;
        const int session = m.captured(1).toInt();
        if (!sessions.contains(session))
            order << session;
        sessions[session] << m.captured(2);
    }
    QStringList out;
    for (int session : order)
        out << sessions[session].join(u' ');
    return out;
}

bool SshdServer::sawPassword() {
    for (const QString& line : log()) {
        if (line.contains(QStringLiteral("Accepted password")) ||
            line.contains(QStringLiteral("Failed password")))
            return true;
    }
    return false;
}

QStringList SshdServer::keysOffered() {
    return log().filter(QRegularExpression(QStringLiteral("(Accepted|Failed) publickey for")));
}

SshAgent::~SshAgent() {
    if (m_agent.state() != QProcess::NotRunning) {
        m_agent.kill();
        m_agent.waitForFinished(5000);
    }
}

bool SshAgent::start() {
    // -d: in the foreground, telling every request on standard error.
    m_agent.setProcessChannelMode(QProcess::MergedChannels);
    m_agent.start(QStringLiteral("ssh-agent"),
                  {QStringLiteral("-d"), QStringLiteral("-a"), socket()});
    const QDeadlineTimer deadline(10000);
    while (!QFile::exists(socket()) && m_agent.state() != QProcess::NotRunning &&
           !deadline.hasExpired())
        m_agent.waitForReadyRead(100);
    if (!QFile::exists(socket())) {
        m_error = QStringLiteral("ssh-agent did not start: ") + m_agent.errorString();
        return false;
    }
    return true;
}

bool SshAgent::add(const QString& keyFile) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SSH_AUTH_SOCK"), socket());
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral("ssh-add"), {QStringLiteral("-q"), keyFile});
    tool.closeWriteChannel();
    if (!tool.waitForFinished(30000) || tool.exitCode() != 0) {
        m_error = QStringLiteral("ssh-add failed: ") + QString::fromLocal8Bit(tool.readAll());
        return false;
    }
    return true;
}

int SshAgent::connections() {
    m_agent.waitForReadyRead(100);
    m_output += m_agent.readAll();
    return int(m_output.count("new_socket: type = CONNECTION"));
}

QString MakeKeyPair(const QString& path, const QString& passphrase) {
    QString error;
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".pub"));
    if (!runTool(QStringLiteral("ssh-keygen"),
                 {"-q", "-t", "ed25519", "-N", passphrase, "-C", "", "-f", path}, &error))
        return {};
    return QString::fromLatin1(readAll(path + QStringLiteral(".pub"))).simplified();
}
