#include "frmTrust.h"

#include "AppInfo.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QStyle>

using platform::TrustProblem;

namespace {

QString hostAndPort(const TrustProblem& p) {
    const QString host = p.host.contains(u':') ? u'[' + p.host + u']' : p.host;
    return host + u':' + QString::number(p.port);
}

// Rows of "name: value", the values in a fixed-width font so fingerprints line up for reading
// aloud and comparing. A value's lines stay apart.
QString detailRows(const QList<std::pair<QString, QString>>& rows) {
    QString html = QStringLiteral("<table cellspacing=\"2\">");
    for (const auto& [name, value] : rows)
        html += QStringLiteral("<tr><td>%1</td><td><tt>%2</tt></td></tr>")
                    .arg(name.toHtmlEscaped(),
                         value.toHtmlEscaped().replace(u'\n', QStringLiteral("<br>")));
    return html + QStringLiteral("</table>");
}

// A certificate's fingerprint in lines of eight bytes, short enough for any screen and easy to
// compare a line at a time.
QString fingerprintLines(const QString& fingerprint) {
    const QStringList bytes = fingerprint.split(u':');
    QStringList lines;
    for (qsizetype i = 0; i < bytes.size(); i += 8)
        lines << bytes.mid(i, 8).join(u':');
    return lines.join(u'\n');
}

// A validity date as the user reads dates and times, in their own time zone.
QString localTime(const QString& iso) {
    const QDateTime when = QDateTime::fromString(iso, Qt::ISODate);
    if (!when.isValid())
        return iso;
    const QDateTime local = when.toLocalTime();
    return QLocale().toString(local.date(), QLocale::LongFormat) + u' ' +
           QLocale().toString(local.time(), QLocale::ShortFormat);
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
    // A long name wraps rather than widening the box past the screen's edge.
    lblDetails->setWordWrap(true);

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
        QList<std::pair<QString, QString>> rows = {
            {QStringLiteral("Subject:"), problem.subject},
            {QStringLiteral("Issuer:"), problem.issuer},
        };
        if (!problem.names.isEmpty())
            rows.append({QStringLiteral("Issued for:"), problem.names.join(u'\n')});
        rows.append({
            {QStringLiteral("Valid from:"), localTime(problem.validFrom)},
            {QStringLiteral("Valid until:"), localTime(problem.validUntil)},
            {QStringLiteral("SHA-256 fingerprint:"), fingerprintLines(problem.fingerprint)},
        });
        lblDetails->setText(detailRows(rows));
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
