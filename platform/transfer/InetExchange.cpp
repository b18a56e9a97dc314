#include "InetExchange.h"

#include "HostKeyTrust.h"
#include "ServerText.h"

namespace platform::inet {

QString withDetail(const QString& what, const QString& detail) {
    return detail.isEmpty() ? what : QStringLiteral("%1 (%2)").arg(what, detail);
}

QString describe(const Reply& reply, const QString& hostAndPort, const QString& what,
                 std::chrono::milliseconds timeout) {
    const QString refusal = reply.lastRefusal();
    switch (reply.code) {
    case CURLE_LOGIN_DENIED:
        if (reply.passwordSent)
            return withDetail(QStringLiteral("Login denied"), refusal) +
                   QStringLiteral("; the user name and password were sent");
        if (!reply.sshMethods.isEmpty())
            return QStringLiteral("Login denied: %1 takes no password (it offers %2), so the "
                                  "password was not sent")
                .arg(hostAndPort, reply.sshMethods);
        return withDetail(QStringLiteral("Login denied before the password was sent"), refusal);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        return withDetail(QStringLiteral("Could not connect to %1").arg(hostAndPort),
                          reply.curlError);
    case CURLE_USE_SSL_FAILED:
        // After the login, which went inside TLS, a server may still refuse TLS for the data.
        if (reply.passwordSent)
            return withDetail(QStringLiteral("%1 refused TLS for the data after the login, which "
                                             "was sent inside TLS; nothing was uploaded")
                                  .arg(hostAndPort),
                              refusal);
        return withDetail(
            QStringLiteral("%1 does not offer TLS, so the login was not sent").arg(hostAndPort),
            refusal);
    case CURLE_OPERATION_TIMEDOUT: {
        if (reply.outOfTime)
            return QStringLiteral("%1: %2").arg(what, reply.curlError);
        const QString limit = QString::number(double(timeout.count()) / 1000.0) + " s";
        if (reply.serverLines.isEmpty())
            return withDetail(QStringLiteral("No answer from %1 within %2").arg(hostAndPort, limit),
                              reply.curlError);
        return withDetail(
            QStringLiteral("%1: the server stopped answering for %2").arg(what, limit),
            reply.curlError);
    }
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_UPLOAD_FAILED:
    case CURLE_QUOTE_ERROR:
        return withDetail(what, refusal.isEmpty() ? reply.curlError : refusal);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
        return withDetail(QStringLiteral("%1: the connection was cut off").arg(what),
                          refusal.isEmpty() ? reply.curlError
                                            : reply.curlError + QStringLiteral("; ") + refusal);
    default:
        break;
    }
    QString detail = reply.curlError;
    if (!refusal.isEmpty())
        detail += (detail.isEmpty() ? QString() : QStringLiteral("; ")) + refusal;
    return withDetail(what, detail);
}

InetFault faultOf(CURLcode code, Command::Kind command) {
    switch (code) {
    case CURLE_LOGIN_DENIED:
        return InetFault::Login;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_WEIRD_SERVER_REPLY:
        return InetFault::Site;
    case CURLE_OK:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_QUOTE_ERROR:
        return command == Command::Kind::Cd ? InetFault::Directory : InetFault::Other;
    default:
        return InetFault::Other;
    }
}

namespace {

QString durationText(std::chrono::milliseconds ms) {
    if (ms.count() % 60000 == 0)
        return QStringLiteral("%1 min").arg(ms.count() / 60000);
    return QString::number(double(ms.count()) / 1000.0) + QStringLiteral(" s");
}

} // namespace

void MarkOutOfTime(Reply* reply, std::chrono::milliseconds overall) {
    reply->code = CURLE_OPERATION_TIMEDOUT;
    reply->outOfTime = true;
    reply->curlError =
        QStringLiteral("the upload took longer than the %1 it may take").arg(durationText(overall));
}

void MarkStalled(Reply* reply, std::chrono::milliseconds timeout) {
    reply->code = CURLE_OPERATION_TIMEDOUT;
    reply->outOfTime = true;
    reply->curlError =
        QStringLiteral("the server took in nothing more of it for %1").arg(durationText(timeout));
}

TrustProblem AsText(TrustProblem problem) {
    for (QString* text : {&problem.reason, &problem.subject, &problem.issuer, &problem.keyType})
        *text = AsPlainText(*text);
    for (QString& name : problem.names)
        name = AsPlainText(name);
    return problem;
}

QString untrusted(const TrustProblem& problem, const QString& hostAndPort) {
    switch (problem.kind) {
    case TrustProblem::Kind::Certificate:
        return QStringLiteral("The certificate of %1 is not trusted (%2); the login was not sent")
            .arg(hostAndPort, problem.reason);
    case TrustProblem::Kind::NewHostKey:
        return QStringLiteral("The host key of %1 is not known%2; the login was not sent")
            .arg(hostAndPort, PortlessEntry(problem));
    case TrustProblem::Kind::ChangedHostKey:
        return QStringLiteral("The host key of %1 has changed; the login was not sent")
            .arg(hostAndPort);
    case TrustProblem::Kind::RevokedHostKey:
        return QStringLiteral("The host key of %1 is revoked; the login was not sent")
            .arg(hostAndPort);
    case TrustProblem::Kind::None:
        break;
    }
    return {};
}

} // namespace platform::inet
