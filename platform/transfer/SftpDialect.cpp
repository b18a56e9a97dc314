// SFTP: SSH file transfer. Paths are the server's own: relative ones start from the login
// directory, as FTP's do. The requests go over the program's own SSH session where the build
// has one (which answers them as curl would), else through curl.

#include "HostKeyTrust.h"
#include "InetDialect.h"
#include "SshGreeting.h"
#if VANTRELL_HAVE_LIBSSH2
#include "SftpSession.h"
#endif

#include <QUrl>

namespace platform::inet {

namespace {

class SftpDialect final : public Dialect {
public:
    SftpDialect(const Site& site, const QString& knownHostsFile, SshLogin* login,
                const SftpSession* session)
        : Dialect(site), m_hostKey(site.host, site.port, knownHostsFile),
          m_greeting(site.hostAndPort), m_login(login), m_session(session) {}

    bool prepare(CURL* easy, const Request&, QString* error) override {
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "sftp");
        m_greeting.install(easy);
        if (!m_login->prepare(easy, error))
            return false;
        if (!m_hostKey.install(easy)) {
            *error = m_hostKey.fileError().isEmpty()
                         ? QStringLiteral("This build of Vantrell cannot check SSH host keys, so "
                                          "nothing was sent to %1.")
                               .arg(m_site.hostAndPort)
                         : QStringLiteral("%1, so nothing was sent to %2.")
                               .arg(m_hostKey.fileError(), m_site.hostAndPort);
            return false;
        }
        return true;
    }

#if VANTRELL_HAVE_LIBSSH2
    TrustProblem trustProblem() const override {
        return m_session ? m_session->trustProblem() : m_hostKey.problem();
    }
    QString connectProblem() const override {
        return m_session ? m_session->connectProblem() : m_greeting.problem();
    }
    // The session knows once it has asked: it tries OpenSSH's rename that replaces first.
    bool renamesOntoTakenNames() const override {
        return m_session && m_session->renamesOntoTakenNames();
    }
#else
    TrustProblem trustProblem() const override {
        return m_hostKey.problem();
    }
    QString connectProblem() const override {
        return m_greeting.problem();
    }
    // OpenSSH and ProFTPD speak version 3 of SFTP, whose rename never replaces; the flags that
    // ask for it exist from version 5 on (and libssh2 sends them only then), and the OpenSSH
    // extension that does is out of curl's reach.
    bool renamesOntoTakenNames() const override {
        return false;
    }
#endif
    void expect(Reply* reply) const override {
        m_login->expect(reply);
    }
    QString loginProblem() const override {
        return m_login->denied();
    }

    // libssh2 tells no more than that the handshake failed. A refused login goes on with the
    // next way to log in, over a connection of its own. The session asks again itself.
    bool askAgain(const Reply& reply) override {
        if (m_session)
            return false;
        if (reply.code == CURLE_FAILED_INIT)
            return m_hostKey.dropPreference();
        return reply.code == CURLE_LOGIN_DENIED &&
               m_hostKey.problem().kind == TrustProblem::Kind::None && m_login->next(reply);
    }

    // curl reads "/~/" as the login directory.
    QByteArray directoryUrl(const RemotePath& dir) const override {
        QByteArray path = dir.absolute ? QByteArrayLiteral("/") : QByteArrayLiteral("/~/");
        for (const QString& s : dir.segments)
            path += QUrl::toPercentEncoding(s) + '/';
        return m_site.base + path;
    }

    // SFTP has no "change directory": asking for the time of "dir/" tells in one request that
    // it is there and a folder (or a link to one), however many files it holds, and whether it
    // may be listed or not.
    Request directoryCheck(const RemotePath& dir) const override {
        Request check{directoryUrl(dir), nullptr, {}, Request::Listing::None};
        check.fileTime = true;
        return check;
    }
    bool directoryFound(const Reply& check) const override {
        return check.code == CURLE_OK && check.fileTime >= 0;
    }

    QStringList rename(const RemotePath& dir, const QString& from,
                       const QString& to) const override {
        return {QStringLiteral("rename %1 %2").arg(path(dir, from), path(dir, to))};
    }
    QString removeIfAllowed(const RemotePath& dir, const QString& name) const override {
        return QStringLiteral("*rm ") + path(dir, name);
    }
    QString setModeIfAllowed(const RemotePath& dir, int mode, const QString& name) const override {
        return QStringLiteral("*chmod %1 %2").arg(mode, 3, 8, QChar(u'0')).arg(path(dir, name));
    }

    // The long listing shows each file's mode as "-rw-r--r--".
    Request modeQuery(const RemotePath& dir, const QString&) const override {
        return {directoryUrl(dir), nullptr, {}, Request::Listing::Long};
    }
    std::optional<int> modeIn(const Reply& reply, const QString& name) const override {
        return permissionsIn(lines(reply), name);
    }
    std::optional<QStringList> listingIn(const Reply& reply) const override {
        if (reply.code != CURLE_OK)
            return std::nullopt;
        return lines(reply);
    }
    std::optional<bool> lists(const Reply& reply, const QString& name) const override {
        if (reply.code != CURLE_OK)
            return std::nullopt;
        return listsName(lines(reply), name);
    }

    bool nameRefused(const Reply& upload) const override {
        return upload.code == CURLE_REMOTE_ACCESS_DENIED;
    }
    bool uploadBegan(const Reply& upload) const override {
        switch (upload.code) {
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_UPLOAD_FAILED:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_REMOTE_DISK_FULL:
        case CURLE_SSH:
            return true;
        default:
            return false;
        }
    }
    // Renaming is the one command after an upload whose failure counts.
    bool renameRefused(const Reply& upload) const override {
        return upload.code == CURLE_QUOTE_ERROR;
    }

private:
    static QStringList lines(const Reply& reply) {
        QStringList out;
        for (const QByteArray& line : reply.body.split('\n'))
            out << QString::fromUtf8(line).trimmed();
        return out;
    }

    // A path as curl's SFTP commands take it: in double quotes, with '"' and '\' escaped.
    // Relative paths start from the login directory on the server itself.
    static QString path(const RemotePath& dir, const QString& name) {
        QString full = dir.display();
        if (!full.isEmpty() && !full.endsWith(u'/'))
            full += u'/';
        full += name;
        full.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
        return u'"' + full + u'"';
    }

    HostKeyTrust m_hostKey;
    SshGreeting m_greeting;
    SshLogin* m_login;
    const SftpSession* m_session; // where the requests go instead of curl
};

} // namespace

std::unique_ptr<Dialect> MakeSftpDialect(const Site& site, const QString& knownHostsFile,
                                         SshLogin* login, const SftpSession* session) {
    return std::make_unique<SftpDialect>(site, knownHostsFile, login, session);
}

} // namespace platform::inet
