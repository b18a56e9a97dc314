#include "modHistory.h"

#include "PublishHistory.h"
#include "frmHistory.h"
#include "frmTallyhost.h"
#include "modStatus.h"
#include "modTallyhost.h"

#include <QDir>
#include <QLabel>
#include <QLocale>
#include <QStyle>
#include <QTreeWidget>

namespace {

QString startText(platform::HistoryEntry::Start start) {
    switch (start) {
    case platform::HistoryEntry::Start::Schedule:
        return QStringLiteral("Schedule");
    case platform::HistoryEntry::Start::Unattended:
        return QStringLiteral("Unattended (/A)");
    case platform::HistoryEntry::Start::Window:
        break;
    }
    return QStringLiteral("Window");
}

QString resultText(platform::HistoryEntry::Result result) {
    switch (result) {
    case platform::HistoryEntry::Result::Published:
        return QStringLiteral("Published");
    case platform::HistoryEntry::Result::Unchanged:
        return QStringLiteral("Unchanged, skipped");
    case platform::HistoryEntry::Result::Failed:
        return QStringLiteral("Failed");
    case platform::HistoryEntry::Result::Cancelled:
        return QStringLiteral("Cancelled");
    case platform::HistoryEntry::Result::NotSeen:
        return QStringLiteral("Uploaded, not seen");
    }
    return {};
}

// What else there is to say of an attempt: why it failed, or where visitors saw the page, and
// why an IPv6 marker was left empty.
QString noteOf(const platform::HistoryEntry& e) {
    if (!e.message.isEmpty())
        return e.message;
    QStringList notes;
    if (!e.pageUrl.isEmpty())
        notes << QStringLiteral("Seen at ") + e.pageUrl;
    if (!e.ipv6Note.isEmpty())
        notes << e.ipv6Note;
    return notes.join(QStringLiteral("; "));
}

} // namespace

void ShowHistory() {
    frmHistory dialog(&MainForm());
    LoadHistory(dialog);
    dialog.exec();
}

void LoadHistory(frmHistory& dialog) {
    const QList<platform::HistoryEntry> entries = platform::ReadHistory();
    QTreeWidget& list = *dialog.lstHistory;
    list.clear();
    const QIcon failed = list.style()->standardIcon(QStyle::SP_MessageBoxCritical);
    const QIcon cancelled = list.style()->standardIcon(QStyle::SP_MessageBoxWarning);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const platform::HistoryEntry& e = *it;
        auto* item = new QTreeWidgetItem(
            &list,
            {QLocale().toString(e.time.toLocalTime(), QLocale::ShortFormat), startText(e.start),
             resultText(e.result), AddressesOf(e), e.source, platform::Destination(e), noteOf(e)});
        item->setToolTip(6, noteOf(e));
        if (e.result == platform::HistoryEntry::Result::Failed ||
            e.result == platform::HistoryEntry::Result::NotSeen) {
            // The icon marks it; the word stays in the palette's own text colour, which reads
            // on light and dark rows alike, where a fixed red did not.
            item->setIcon(2, failed);
        } else if (e.result == platform::HistoryEntry::Result::Cancelled) {
            item->setIcon(2, cancelled);
        }
    }
    for (int column = 0; column + 1 < list.columnCount(); ++column)
        list.resizeColumnToContents(column);
    // The newest attempt is the one at hand, its message said in full under the list.
    list.setCurrentItem(list.topLevelItem(0));
    dialog.lblEmpty->setVisible(entries.isEmpty());
    // Under the home folder the path reads as a user would type it.
    QString path = QDir::toNativeSeparators(platform::HistoryPath());
    const QString home = QDir::toNativeSeparators(QDir::homePath());
    if (path.startsWith(home + QDir::separator()))
        path = QStringLiteral("~") + path.mid(home.size());
    dialog.lblPath->setText(QStringLiteral("Kept in ") + path);
}
