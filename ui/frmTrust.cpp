#include "frmTrust.h"

#include "AppInfo.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

using platform::TrustProblem;

namespace {

QString hostAndPort(const TrustProblem& p) {
    const QString host = p.host.contains(u':') ? u'[' + p.host + u']' : p.host;
    return host + u':' + QString::number(p.port);
}

// Rows of "name: value", the values in a fixed-width font so fingerprints line up for reading
// aloud and comparing.
QString detailRows(const QList<std::pair<QString, QString>>& rows) {
    QString html = QStringLiteral("<table cellspacing=\"2\">");
    for (const auto& [name, value] : rows)
        html += QStringLiteral("<tr><td>%1</td><td><tt>%2</tt></td></tr>")
                    .arg(name.toHtmlEscaped(), value.toHtmlEscaped());
    return html + QStringLiteral("</table>");
}

} // namespace

frmTrust::frmTrust(const TrustProblem& problem, const QString& knownHostsFile, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(platform::App::title());
    setWindowModality(Qt::ApplicationModal);

    auto* icon = new QLabel(this);
    const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(
        style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(side));

    lblQuestion = new QLabel(this);
    lblQuestion->setTextFormat(Qt::PlainText);
    lblQuestion->setWordWrap(true);
    lblDetails = new QLabel(this);
    lblDetails->setTextFormat(Qt::RichText);
    lblDetails->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    auto* buttons = new QDialogButtonBox(this);
    cmdTrust = buttons->addButton(QStringLiteral("Trust"), QDialogButtonBox::AcceptRole);
    cmdCancel = buttons->addButton(QDialogButtonBox::Cancel);
    // Enter alone must not trust a server.
    cmdTrust->setAutoDefault(false);
    cmdCancel->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    if (problem.kind == TrustProblem::Kind::Certificate) {
        lblQuestion->setText(
            QStringLiteral("The certificate of %1 is not trusted: %2.\n\nTrust this certificate "
                           "for this site? Only trust it if you know it is your server's.")
                .arg(hostAndPort(problem), problem.reason));
        lblDetails->setText(detailRows({
            {QStringLiteral("Subject:"), problem.subject},
            {QStringLiteral("Issuer:"), problem.issuer},
            {QStringLiteral("Valid from:"), problem.validFrom},
            {QStringLiteral("Valid until:"), problem.validUntil},
            {QStringLiteral("SHA-256 fingerprint:"), problem.fingerprint},
        }));
    } else {
        lblQuestion->setText(
            QStringLiteral("The host key of %1 is not known yet.\n\nTrust it and add it to %2? "
                           "Only trust it if the fingerprint is your server's.")
                .arg(hostAndPort(problem), QDir::toNativeSeparators(knownHostsFile)));
        lblDetails->setText(detailRows({
            {QStringLiteral("Key type:"), problem.keyType},
            {QStringLiteral("SHA-256 fingerprint:"), problem.fingerprint},
        }));
    }

    auto* layout = new QGridLayout(this);
    layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    layout->addWidget(lblQuestion, 0, 1);
    layout->addWidget(lblDetails, 1, 1);
    layout->addWidget(buttons, 2, 0, 1, 2);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
