#include "modTrust.h"

#include "HostKeyTrust.h"
#include "MsgBox.h"
#include "frmTallyhost.h"
#include "frmTrust.h"
#include "modTallyhost.h"

#include <QDir>
#include <QPointer>

using platform::TrustProblem;

namespace {

QString hostAndPort(const TrustProblem& p) {
    const QString host = p.host.contains(u':') ? u'[' + p.host + u']' : p.host;
    return host + u':' + QString::number(p.port);
}

void fail(const QString& reason) {
    platform::MsgBox(QStringLiteral("Unable to upload file: ") + reason,
                     platform::MsgIcon::Critical);
}

QString refusalText(const TrustProblem& p, const QString& knownHostsFile,
                    const QString& settingsFile) {
    const QString hosts = QDir::toNativeSeparators(knownHostsFile);
    switch (p.kind) {
    case TrustProblem::Kind::Certificate:
        return QStringLiteral("the certificate of %1 is not trusted (%2), SHA-256 fingerprint "
                              "%3; the login was not sent. To trust it, upload once from the "
                              "window and trust it there, or set FTP/TrustedCertificate to %3 "
                              "in %4.")
            .arg(hostAndPort(p), p.reason, p.fingerprint, settingsFile);
    case TrustProblem::Kind::NewHostKey:
        // The type this server offered, so that the key fetched by hand is the one checked.
        return QStringLiteral("the host key of %1 is not known (%2 %3)%7; the login was not sent. "
                              "To trust it, upload once from the window and trust it there, or "
                              "add it to %4 (ssh-keyscan -t %2 -p %5 %6 >> %4, after comparing "
                              "the fingerprint with your provider's).")
            .arg(hostAndPort(p), p.keyType, p.fingerprint, hosts, QString::number(p.port), p.host,
                 platform::PortlessEntry(p));
    case TrustProblem::Kind::ChangedHostKey:
        return QStringLiteral("WARNING: the host key of %1 has changed; it is now %2 %3. Someone "
                              "may be posing as the server; the login was not sent. If you know "
                              "its key was changed, remove the old one from %4 (ssh-keygen -R "
                              "\"%5\") and try again.")
            .arg(hostAndPort(p), p.keyType, p.fingerprint, hosts,
                 p.port == 22 ? p.host
                              : u'[' + p.host + QStringLiteral("]:") + QString::number(p.port));
    case TrustProblem::Kind::RevokedHostKey:
        return QStringLiteral("the host key of %1 (%2 %3) is marked as revoked in %4; the login "
                              "was not sent.")
            .arg(hostAndPort(p), p.keyType, p.fingerprint, hosts);
    case TrustProblem::Kind::None:
        break;
    }
    return {};
}

} // namespace

bool AskToTrust(const TrustProblem& problem, bool unattended, const QString& knownHostsFile,
                const QString& settingsFile) {
    // A changed or revoked key is never offered for trust.
    if (unattended || problem.kind == TrustProblem::Kind::ChangedHostKey ||
        problem.kind == TrustProblem::Kind::RevokedHostKey) {
        fail(refusalText(problem, knownHostsFile, settingsFile));
        return false;
    }
    // Owned by the main window, so it goes should the window go while it is shown.
    QPointer<frmTrust> box = new frmTrust(problem, knownHostsFile, &MainForm());
    const bool trusted = box->exec() == QDialog::Accepted;
    delete box;
    if (!trusted) {
        // The user's own choice, said plainly rather than as an error.
        platform::MsgBox(
            QStringLiteral("Not uploaded: you did not trust the %1 of %2; nothing was sent.")
                .arg(problem.kind == TrustProblem::Kind::Certificate ? QStringLiteral("certificate")
                                                                     : QStringLiteral("host key"),
                     hostAndPort(problem)),
            platform::MsgIcon::Information);
        return false;
    }
    if (problem.kind == TrustProblem::Kind::NewHostKey) {
        QString error;
        if (!platform::AddKnownHost(knownHostsFile, problem, &error)) {
            fail(QStringLiteral("the host key could not be added to %1 (%2).")
                     .arg(QDir::toNativeSeparators(knownHostsFile), error));
            return false;
        }
    }
    return true;
}
