#include "modStatus.h"

#include "AddressSource.h"
#include "PublishHistory.h"
#include "PublishState.h"
#include "frmTallyhost.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QLocale>
#include <QPushButton>

// When something happened: the time alone today, the date and time before.
QString WhenSaid(const QDateTime& time) {
    const QDateTime local = time.toLocalTime();
    // Minutes are enough here, whatever the locale's short format says.
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    format.remove(QLatin1String(":ss"));
    if (local.date() == QDate::currentDate())
        return QLocale().toString(local.time(), format);
    return QLocale().toString(local.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           QLocale().toString(local.time(), format);
}

Hourglass::Hourglass(frmTallyhost& form) : m_form(&form) {
    form.setCursor(Qt::WaitCursor);
}

Hourglass::~Hourglass() {
    if (m_form)
        m_form->unsetCursor();
}

BusyWindow::BusyWindow(frmTallyhost& form)
    : m_form(&form), m_buttonHadFocus(form.comUploadTallyhost->hasFocus()) {
    form.comUploadTallyhost->setEnabled(false);
    form.mnuUploadTallyhost->setEnabled(false);
    form.cmdCancel->setEnabled(true);
    form.cmdCancel->show();
    // The Cancel button covers the end of the line; what the line said before is over.
    form.lblStatus->clear();
    form.lblStatus->setToolTip(QString());
    // The focus leaves a button that is disabled; it comes back unless sent elsewhere.
    if (m_buttonHadFocus)
        m_movedTo = QApplication::focusWidget();
}

BusyWindow::~BusyWindow() {
    if (!m_form)
        return;
    m_form->cmdCancel->hide();
    m_form->comUploadTallyhost->setEnabled(true);
    m_form->mnuUploadTallyhost->setEnabled(true);
    if (m_buttonHadFocus && QApplication::focusWidget() == m_movedTo)
        m_form->comUploadTallyhost->setFocus();
}

// The line reaches up to the Cancel button while that is shown.
void ShowStatus(frmTallyhost& form, const QString& before, const QString& where,
                const QString& after, const QString& tip) {
    QLabel& line = *form.lblStatus;
    const QFontMetrics fm = line.fontMetrics();
    const int room =
        form.cmdCancel->isVisible() ? form.cmdCancel->x() - line.x() - 8 : line.width() - 2;
    const QString whole = before + where + after;
    QString shown = whole;
    if (fm.horizontalAdvance(whole) > room) {
        const int left = room - fm.horizontalAdvance(before + after);
        shown = where.isEmpty() || left < fm.horizontalAdvance(QStringLiteral("m.../m"))
                    ? fm.elidedText(whole, Qt::ElideRight, room)
                    : before + fm.elidedText(where, Qt::ElideMiddle, left) + after;
    }
    line.setText(shown);
    // A screen reader hears the line's new text as a change of its name: the window's one
    // live region.
    QAccessibleEvent changed(&line, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
    QString fullTip = shown != whole ? whole : QString();
    if (!tip.isEmpty())
        fullTip += (fullTip.isEmpty() ? QString() : QStringLiteral("\n")) + tip;
    line.setToolTip(fullTip);
}

QString AddressesOf(const platform::HistoryEntry& e) {
    return e.address6.isEmpty() ? e.address : e.address + QStringLiteral(" and ") + e.address6;
}

void ShowOutcome(frmTallyhost& form, const platform::HistoryEntry& e) {
    const QString at = QStringLiteral(" at ") + WhenSaid(e.time);
    switch (e.result) {
    case platform::HistoryEntry::Result::Published: {
        // An IPv6 marker left empty, and what the success had to say (a page overwritten in
        // place), are said after the rest, in full in the tip.
        QStringList notes{e.ipv6Note, e.message};
        notes.removeAll(QString());
        const QString after =
            notes.isEmpty() ? QString() : QStringLiteral("; ") + notes.join(u"; ");
        const QString reason = platform::UnreachableReason(e.address);
        // Seen where visitors open it: that address says more than where the page went.
        const bool seen = !e.pageUrl.isEmpty();
        QStringList tips;
        // Published all the same: the page says what this machine knows.
        if (!reason.isEmpty())
            tips << QStringLiteral("%1 is %2. Tools > Options chooses where the published "
                                   "address comes from.")
                        .arg(e.address, reason);
        tips << notes;
        if (seen)
            tips << QStringLiteral("Uploaded to %1.").arg(platform::Destination(e));
        ShowStatus(
            form,
            QStringLiteral("Published %1 %2 ")
                .arg(AddressesOf(e), seen ? QStringLiteral("and seen at") : QStringLiteral("to")),
            seen ? e.pageUrl : platform::Destination(e),
            at +
                (reason.isEmpty() ? QString()
                                  : QStringLiteral(", unreachable: see Tools > Options")) +
                after,
            tips.join(QLatin1Char('\n')));
        return;
    }
    case platform::HistoryEntry::Result::Unchanged:
        ShowStatus(
            form, QStringLiteral("Unchanged, not uploaded again: %1 at ").arg(AddressesOf(e)),
            platform::Destination(e),
            at + (e.pageUrl.isEmpty() ? QString() : QStringLiteral(", seen at ") + e.pageUrl));
        return;
    case platform::HistoryEntry::Result::NotSeen:
        ShowStatus(form, QStringLiteral("Uploaded, not seen") + at + QStringLiteral(": ") +
                             e.message.simplified());
        return;
    case platform::HistoryEntry::Result::Failed:
        ShowStatus(form, QStringLiteral("Not published") + at + QStringLiteral(": ") +
                             e.message.simplified());
        return;
    case platform::HistoryEntry::Result::Cancelled:
        ShowStatus(form, QStringLiteral("Cancelled") + at + QStringLiteral(": ") +
                             (e.message == QLatin1String("Cancelled")
                                  ? QStringLiteral("the page on the server is as it was")
                                  : e.message));
        return;
    }
}
