#include "modUpload.h"

#include "FileLock.h"
#include "Inet.h"
#include "MsgBox.h"
#include "PageTemplate.h"
#include "Process.h"
#include "PublishHistory.h"
#include "SettingsStore.h"
#include "frmTallyhost.h"
#include "modSettings.h"
#include "modStatus.h"
#include "modTallyhost.h"
#include "modTrust.h"

#include <QDir>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>

namespace {

// Operation arguments go in double quotes so that names with spaces stay whole; a quote inside
// a name is doubled.
QString quoted(QString s) {
    s.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + s + QLatin1Char('"');
}

// The server as the status line names it: without scheme or login.
QString hostOf(const QString& site) {
    QString host = platform::SiteWithoutLogin(site).trimmed();
    const qsizetype scheme = host.indexOf(QLatin1String("://"));
    if (scheme >= 0)
        host = host.mid(scheme + 3);
    return host;
}

// Waits for the transfer's command to end while the window stays live. Sleeps in the event
// loop until something happens instead of spinning.
void WaitForTransfer(const platform::Inet& inet) {
    platform::ProcessEventsUntil(&inet, &platform::Inet::CommandFinished,
                                 [&inet] { return !inet.StillExecuting(); });
}

void reportTransferFailure(frmTallyhost& form, const platform::Inet& inet) {
    // The line behind the box says what the box says, not the stage the transfer stopped at.
    ShowStatus(form, QStringLiteral("Not published: ") + inet.LastError().simplified());
    // The focus stays where the user left it: a field's text selected behind the box would be
    // replaced by the next key typed, and saved with the next upload.
    platform::MsgBox(QStringLiteral("Unable to upload file: ") + inet.LastError(),
                     platform::MsgIcon::Critical);
}

// Asks for the passphrase of the key file the login stopped at, three times at most, as ssh
// does; without one the key is left out.
void askPassphrase(platform::Inet& inet, QMap<QString, int>& asked) {
    const QString key = inet.LastPassphraseWanted();
    const int times = asked[key]++;
    std::optional<QString> passphrase;
    if (times < 3)
        passphrase = platform::InputSecret(
            (times == 0 ? QStringLiteral("The key %1 is locked.")
                        : QStringLiteral("That passphrase did not open the key %1."))
                    .arg(QDir::toNativeSeparators(key)) +
                QStringLiteral(" Its passphrase (not kept anywhere; ssh-add puts the key in the "
                               "agent, which keeps it for the session):"),
            QStringLiteral("Passphrase"));
    inet.setKeyPassphrase(key, passphrase.value_or(QString()));
}

// One try. False when a command failed; the transfer control says why.
bool sendOnce(platform::Inet& inet, const JobFields& job, const QString& pagePath,
              const QString& trustedCertificate) {
    inet.setURL(job.site);
    inet.setUserName(job.userName);
    inet.setPassword(job.password);
    inet.setTrustedCertificate(trustedCertificate);

    if (!TrimSpaces(job.uploadDir).isEmpty()) {
        inet.Execute(QStringLiteral("CD ") + quoted(job.uploadDir));
        WaitForTransfer(inet);
        if (!inet.LastSucceeded() || UploadCancelled())
            return false;
    }
    inet.Execute(QStringLiteral("PUT ") + quoted(pagePath) + QLatin1Char(' ') +
                 quoted(job.uploadFileName));
    WaitForTransfer(inet);
    return inet.LastSucceeded();
}

// The transfer's stages on the status line for as long as it lives.
class ProgressLine {
public:
    ProgressLine(frmTallyhost& form, const JobFields& job, bool& replacing) {
        const QString host = hostOf(job.site);
        const QString file = job.uploadFileName;
        m_connection = QObject::connect(
            form.inetFTP, &platform::Inet::Progress, &form,
            [&form, &replacing, host, file](platform::Inet::Stage stage, int percent) {
                // Once the whole page is there, the renames that put it in place run to their
                // end: cut between them, they could leave the server without the page.
                replacing = stage == platform::Inet::Stage::Replacing;
                form.cmdCancel->setEnabled(!replacing);
                switch (stage) {
                case platform::Inet::Stage::Connecting:
                    ShowStatus(form, QStringLiteral("Connecting to ") + host);
                    break;
                case platform::Inet::Stage::Uploading:
                    ShowStatus(form, QStringLiteral("Uploading %1 %2 %").arg(file).arg(percent));
                    break;
                case platform::Inet::Stage::Replacing:
                    ShowStatus(form, QStringLiteral("Replacing the page"));
                    break;
                }
            });
    }
    ~ProgressLine() { QObject::disconnect(m_connection); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

private:
    QMetaObject::Connection m_connection;
};

} // namespace

JobFields ReadJobFields(const frmTallyhost& form) {
    return {form.txtHTMLTemplate->text(), TrimSpaces(form.txtIPParseField[0]->text()),
            form.txtFTPSite->text(),      form.txtUserName->text(),
            form.txtPassword->text(),     form.txtUploadFileName->text(),
            form.txtUploadDir->text()};
}

// The first attempt may meet a server whose certificate or host key is new; once the user
// trusts it, the page goes again. What they trusted and is refused anyway is not asked about a
// second time.
bool SendPage(frmTallyhost& form, const JobFields& job, const QString& pagePath,
              std::unique_ptr<platform::FileLock>& pageLock, bool& replacing) {
    platform::Inet& inet = *form.inetFTP;
    const ProgressLine progress(form, job, replacing);
    QString trustedCertificate =
        OpenSettings().GetSetting(platform::SettingKey::TrustedCertificate);
    QString trustedNow;
    const bool unattended = RunsUnattended();
    inet.setKeyFile(OpenSettings().GetSetting(platform::SettingKey::KeyFile));
    inet.setAskForPassphrase(!unattended);
    QMap<QString, int> asked;
    while (!sendOnce(inet, job, pagePath, trustedCertificate)) {
        if (UploadCancelled())
            return false;
        if (!unattended && !inet.LastPassphraseWanted().isEmpty()) {
            askPassphrase(inet, asked);
            continue;
        }
        const platform::TrustProblem problem = inet.LastTrustProblem();
        if (problem.kind == platform::TrustProblem::Kind::None ||
            problem.fingerprint == trustedNow) {
            pageLock.reset();
            reportTransferFailure(form, inet);
            return false;
        }
        platform::SettingsStore store = OpenSettings();
        // An unattended run only refuses, with a message; it never tries again.
        if (unattended)
            pageLock.reset();
        if (!AskToTrust(problem, unattended, inet.KnownHostsFile(), store.FileName()))
            return false;
        trustedNow = problem.fingerprint;
        if (problem.kind == platform::TrustProblem::Kind::Certificate) {
            trustedCertificate = problem.fingerprint;
            store.SaveSetting(platform::SettingKey::TrustedCertificate, trustedCertificate);
            SyncSettings(store);
        }
    }
    return true;
}
