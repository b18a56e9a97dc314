#include "modAddress.h"

#include "AddressLookup.h"
#include "LocalIP.h"
#include "MsgBox.h"
#include "SettingsStore.h"
#include "frmOptions.h"
#include "frmTallyhost.h"
#include "modSchedule.h"
#include "modTallyhost.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include <memory>

namespace {

using platform::AddressSource;

const QString Section = QStringLiteral("Address");
const QString SourceKey = QStringLiteral("Source");
const QString RouterURLKey = QStringLiteral("RouterURL");
const QString WebURLKey = QStringLiteral("WebURL");
const QString OnlyWhenChangedKey = QStringLiteral("OnlyWhenChanged");
const QString RefreshDaysKey = QStringLiteral("RefreshDays");
constexpr int DefaultRefreshDays = 25;

platform::SettingsStore openStore() {
    return platform::SettingsStore(QStringLiteral("TallyhostUpdater"));
}

bool onlyWhenChanged(platform::SettingsStore& store) {
    const QString value = store.GetSetting(Section, OnlyWhenChangedKey).trimmed().toLower();
    return value == QLatin1String("true") || value == QLatin1String("1") ||
           value == QLatin1String("yes") || value == QLatin1String("on");
}

int refreshDays(platform::SettingsStore& store) {
    bool ok = false;
    const int days = store.GetSetting(Section, RefreshDaysKey).trimmed().toInt(&ok);
    return ok ? days : DefaultRefreshDays;
}

void reportNoAddress(const QString& reason) {
    platform::MsgBox(QStringLiteral("Unable to find the public address: ") + reason,
                     platform::MsgIcon::Critical);
}

QString sourceWord(AddressSource source) {
    return source == AddressSource::Router ? QStringLiteral("router")
                                           : QStringLiteral("web service");
}

void showAnswer(frmOptions& dialog, size_t index, const platform::AddressAnswer& answer) {
    if (answer.address.isEmpty()) {
        dialog.lblAnswer[index]->setText(QStringLiteral("no answer"));
        dialog.lblHint[index]->setText(answer.error);
        return;
    }
    dialog.lblAnswer[index]->setText(answer.address);
    const QString reason = platform::UnreachableReason(answer.address);
    dialog.lblHint[index]->setText(
        reason.isEmpty() ? QStringLiteral("reachable from the internet")
                         : QStringLiteral("not reachable from the internet: ") + reason);
}

} // namespace

bool FindPublishedAddress(QString& address) {
    platform::SettingsStore store = openStore();
    const QString name = store.GetSetting(Section, SourceKey).trimmed();
    const std::optional<AddressSource> source =
        name.isEmpty() ? AddressSource::Local : platform::ParseAddressSource(name);
    if (!source) {
        reportNoAddress(QStringLiteral("there is no address source called \"%1\"").arg(name));
        return false;
    }
    // This machine's own address is whatever it has, as it always was; nothing to wait for.
    if (*source == AddressSource::Local) {
        address = platform::LocalIP();
        return true;
    }

    platform::AddressQuery query;
    query.source = *source;
    query.routerURL = store.GetSetting(Section, RouterURLKey);
    query.webURL = store.GetSetting(Section, WebURLKey);
    const platform::AddressAnswer answer = platform::FindAddress(query);
    if (answer.address.isEmpty()) {
        reportNoAddress(answer.error);
        return false;
    }
    if (*source == AddressSource::Router || *source == AddressSource::Web) {
        const QString reason = platform::UnreachableReason(answer.address);
        if (!reason.isEmpty()) {
            reportNoAddress(QStringLiteral("the %1 answered %2, %3")
                                .arg(sourceWord(*source), answer.address, reason));
            return false;
        }
    }
    address = answer.address;
    return true;
}

platform::Publication DescribePublication() {
    frmTallyhost& form = MainForm();
    platform::SettingsStore store = openStore();
    platform::Publication p;
    if (onlyWhenChanged(store))
        p.templateHash = platform::FileHash(form.txtHTMLTemplate->text());
    p.marker = form.txtIPParseField[0]->text();
    p.site = form.txtFTPSite->text();
    p.userName = form.txtUserName->text();
    p.directory = form.txtUploadDir->text();
    p.uploadFileName = form.txtUploadFileName->text();
    p.time = QDateTime::currentDateTimeUtc();
    return p;
}

bool PublishedAlready(const platform::Publication& publication) {
    platform::SettingsStore store = openStore();
    if (!onlyWhenChanged(store))
        return false;
    const std::optional<platform::Publication> last = platform::LoadPublication();
    if (!last || !last->time.isValid() || !last->SamePageAs(publication))
        return false;
    // A clock set back makes the last upload look young for ever: upload then.
    const qint64 age = last->time.secsTo(publication.time);
    return age >= 0 && age < qint64(refreshDays(store)) * 24 * 60 * 60;
}

void RecordPublished(platform::Publication publication) {
    publication.time = QDateTime::currentDateTimeUtc();
    QString error;
    if (platform::SavePublication(publication, &error))
        return;
    // Without the record every run uploads again: harmless unless the user asked for less.
    platform::SettingsStore store = openStore();
    if (onlyWhenChanged(store))
        platform::MsgBox(QStringLiteral("Unable to save the published address to ") +
                             platform::PublicationStatePath() + QStringLiteral(" - ") + error,
                         platform::MsgIcon::Critical);
}

void ShowOptions() {
    frmOptions dialog(&MainForm());
    LoadOptions(dialog);
    LoadSchedule(dialog);
    dialog.exec();
}

void LoadOptions(frmOptions& dialog) {
    platform::SettingsStore store = openStore();
    const QString name = store.GetSetting(Section, SourceKey).trimmed();
    const std::optional<AddressSource> source =
        name.isEmpty() ? AddressSource::Local : platform::ParseAddressSource(name);
    // A source the program does not know stays stored as it is unless the user picks one.
    if (source)
        dialog.optSource[size_t(*source)]->setChecked(true);
    dialog.txtRouterURL->setText(store.GetSetting(Section, RouterURLKey));
    dialog.txtWebURL->setText(store.GetSetting(Section, WebURLKey));
    const bool changedOnly = onlyWhenChanged(store);
    dialog.chkOnlyWhenChanged->setChecked(changedOnly);
    dialog.updRefreshDays->setValue(refreshDays(store));
    dialog.updRefreshDays->setEnabled(changedOnly);

    const std::optional<platform::Publication> last = platform::LoadPublication();
    if (last && last->time.isValid())
        dialog.lblLastPublished->setText(
            QStringLiteral("Last published: %1 at %2")
                .arg(last->address,
                     QLocale().toString(last->time.toLocalTime(), QLocale::ShortFormat)));
    else
        dialog.lblLastPublished->setText(QStringLiteral("Last published: nothing yet"));
}

bool SaveOptions(frmOptions& dialog) {
    const QString routerURL = dialog.txtRouterURL->text().trimmed();
    const QString webURL = dialog.txtWebURL->text().trimmed();
    // The router's library speaks plain HTTP only.
    if (!routerURL.isEmpty() &&
        !routerURL.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) {
        platform::MsgBox(QStringLiteral("The router's description URL must start with http://."),
                         platform::MsgIcon::Exclamation);
        dialog.txtRouterURL->setFocus();
        return false;
    }
    if (!webURL.isEmpty() && !webURL.startsWith(QLatin1String("https://"), Qt::CaseInsensitive) &&
        !webURL.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) {
        platform::MsgBox(QStringLiteral("The web address must start with https:// or http://."),
                         platform::MsgIcon::Exclamation);
        dialog.txtWebURL->setFocus();
        return false;
    }

    platform::SettingsStore store = openStore();
    for (size_t i = 0; i < dialog.optSource.size(); ++i)
        if (dialog.optSource[i]->isChecked())
            store.SaveSetting(Section, SourceKey, platform::AddressSourceName(AddressSource(i)));
    store.SaveSetting(Section, RouterURLKey, routerURL);
    store.SaveSetting(Section, WebURLKey, webURL);
    store.SaveSetting(Section, OnlyWhenChangedKey,
                      dialog.chkOnlyWhenChanged->isChecked() ? QStringLiteral("True")
                                                             : QStringLiteral("False"));
    store.SaveSetting(Section, RefreshDaysKey, QString::number(dialog.updRefreshDays->value()));
    if (!store.Sync()) {
        platform::MsgBox(QStringLiteral("Unable to save settings to ") + store.FileName(),
                         platform::MsgIcon::Critical);
        return false;
    }
    return true;
}

void DetectAddresses(frmOptions& dialog) {
    dialog.cmdDetect->setEnabled(false);
    auto pending = std::make_shared<size_t>(dialog.optSource.size());
    for (size_t i = 0; i < dialog.optSource.size(); ++i) {
        dialog.lblAnswer[i]->setText(QStringLiteral("asking..."));
        dialog.lblHint[i]->clear();
        platform::AddressQuery query;
        query.source = AddressSource(i);
        query.routerURL = dialog.txtRouterURL->text();
        query.webURL = dialog.txtWebURL->text();
        auto* lookup = new platform::AddressLookup(query, &dialog);
        QObject::connect(lookup, &platform::AddressLookup::answered, &dialog,
                         [&dialog, lookup, i, pending] {
                             showAnswer(dialog, i, lookup->Answer());
                             lookup->deleteLater();
                             if (--*pending == 0)
                                 dialog.cmdDetect->setEnabled(true);
                         });
    }
}
