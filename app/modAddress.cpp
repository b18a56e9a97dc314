#include "modAddress.h"

#include "AddressAgreement.h"
#include "AddressLookup.h"
#include "LocalIP.h"
#include "MsgBox.h"
#include "PageTemplate.h"
#include "frmOptions.h"
#include "frmTallyhost.h"
#include "modPageCheck.h"
#include "modPassword.h"
#include "modSchedule.h"
#include "modSettings.h"
#include "modTallyhost.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>

#include <memory>

namespace {

using platform::AddressSource;
using platform::SettingKey;

bool isTrue(const QString& text) {
    const QString value = text.trimmed().toLower();
    return value == QLatin1String("true") || value == QLatin1String("1") ||
           value == QLatin1String("yes") || value == QLatin1String("on");
}

bool onlyWhenChanged(platform::SettingsStore& store) {
    return isTrue(store.GetSetting(SettingKey::OnlyWhenChanged));
}

QStringList entries(const QString& list) {
    return list.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
}

platform::AgreementSettings agreementSettings(platform::SettingsStore& store) {
    platform::AgreementSettings settings;
    settings.routerURL = store.GetSetting(SettingKey::RouterURL);
    settings.webURLs = store.GetSetting(SettingKey::WebURL);
    settings.stunServers = store.GetSetting(SettingKey::StunServers);
    settings.temporaryIPv6 = isTrue(store.GetSetting(SettingKey::TemporaryIPv6));
    return settings;
}

// The sources of the family that agree or not, asked all at once.
platform::Agreement agreeOn(QList<platform::SourceAnswer> sources) {
    platform::AskAll(sources, [] { return UploadCancelled(); });
    return platform::Agree(sources);
}

// Only the web services of the list, each over the family.
QList<platform::SourceAnswer> webSources(platform::AddressFamily family,
                                         const platform::AgreementSettings& settings) {
    QList<platform::SourceAnswer> web;
    for (const platform::SourceAnswer& s : platform::AgreementSources(family, settings))
        if (s.query.source == AddressSource::Web)
            web << s;
    return web;
}

// What is not a number counts as the default.
int refreshDays(platform::SettingsStore& store) {
    bool ok = false;
    const int days = store.GetSetting(SettingKey::RefreshDays).trimmed().toInt(&ok);
    return ok ? days : platform::SettingOf(SettingKey::RefreshDays).Default().toInt();
}

// The source as the store names it; stored empty it is the default.
QString sourceName(platform::SettingsStore& store) {
    const QString name = store.GetSetting(SettingKey::Source).trimmed();
    return name.isEmpty() ? platform::SettingOf(SettingKey::Source).Default() : name;
}

void reportNoAddress(const QString& reason) {
    platform::MsgBox(QStringLiteral("Unable to find the public address: ") + reason,
                     platform::MsgIcon::Critical);
}

QString sourceWord(AddressSource source) {
    return source == AddressSource::Router ? QStringLiteral("router")
                                           : QStringLiteral("web service");
}

QString hintFor(const platform::AddressAnswer& answer) {
    if (answer.address.isEmpty())
        return answer.error;
    const QString reason = platform::UnreachableReason(answer.address);
    return reason.isEmpty() ? QStringLiteral("reachable from the internet")
                            : QStringLiteral("not reachable from the internet: ") + reason;
}

void showAnswer(frmOptions& dialog, size_t index, const platform::AddressAnswer& answer) {
    dialog.lblAnswer[index]->setText(answer.address.isEmpty() ? QStringLiteral("no answer")
                                                              : answer.address);
    dialog.lblHint[index]->setText(hintFor(answer));
}

// Every answer so far of the sources of one kind, one line each, in the kind's row. A kind
// with one source reads like any other row.
void showKind(frmOptions& dialog, const QList<platform::SourceAnswer>& asked, AddressSource kind) {
    QList<const platform::SourceAnswer*> ofKind;
    for (const platform::SourceAnswer& s : asked)
        if (s.query.source == kind)
            ofKind << &s;
    const size_t row = size_t(kind);
    if (ofKind.size() == 1) {
        if (!ofKind.first()->answer.address.isEmpty() || !ofKind.first()->answer.error.isEmpty())
            showAnswer(dialog, row, ofKind.first()->answer);
        return;
    }
    QStringList answers;
    QStringList hints;
    for (const platform::SourceAnswer* s : ofKind) {
        if (s->answer.address.isEmpty() && s->answer.error.isEmpty()) {
            answers << QStringLiteral("asking...");
            hints << s->name;
            continue;
        }
        answers << (s->answer.address.isEmpty() ? QStringLiteral("no answer") : s->answer.address);
        hints << s->name + QStringLiteral(": ") + hintFor(s->answer);
    }
    dialog.lblAnswer[row]->setText(answers.join(QLatin1Char('\n')));
    dialog.lblHint[row]->setText(hints.join(QLatin1Char('\n')));
}

} // namespace

bool FindPublishedAddress(QString& address) {
    platform::SettingsStore store = OpenSettings();
    const QString name = sourceName(store);
    const std::optional<AddressSource> source = platform::ParseAddressSource(name);
    if (!source) {
        reportNoAddress(QStringLiteral("there is no address source called \"%1\"").arg(name));
        return false;
    }
    // This machine's own address is whatever it has, as it always was; nothing to wait for.
    if (*source == AddressSource::Local) {
        address = platform::LocalIP();
        return true;
    }

    const platform::AgreementSettings settings = agreementSettings(store);
    // Several web services, like several sources, must agree.
    if (*source == AddressSource::Auto ||
        (*source == AddressSource::Web && entries(settings.webURLs).size() > 1)) {
        const platform::Agreement agreement =
            agreeOn(*source == AddressSource::Auto
                        ? platform::AgreementSources(platform::AddressFamily::IPv4, settings)
                        : webSources(platform::AddressFamily::Any, settings));
        if (UploadCancelled())
            return false;
        if (agreement.address.isEmpty()) {
            reportNoAddress(agreement.Explained());
            return false;
        }
        address = agreement.address;
        return true;
    }

    platform::AddressQuery query;
    query.source = *source;
    query.routerURL = settings.routerURL;
    query.webURL = settings.webURLs;
    query.temporaryIPv6 = settings.temporaryIPv6;
    const platform::AddressAnswer answer =
        platform::FindAddress(query, [] { return UploadCancelled(); });
    // Whoever cancelled knows why.
    if (UploadCancelled())
        return false;
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

QString IPv6Marker() {
    platform::SettingsStore store = OpenSettings();
    // Spaces around it are dropped, as around the IP marker.
    return TrimSpaces(store.GetSetting(SettingKey::IPv6Marker));
}

QString IPv6Note(const platform::Publication& publication) {
    if (publication.marker6.isEmpty() || !publication.address6.isEmpty())
        return {};
    QString why = publication.why6;
    if (!why.endsWith(QLatin1Char('.')))
        why += QLatin1Char('.');
    return QStringLiteral("%1 was left empty: %2").arg(publication.marker6, why);
}

bool FindPublishedIPv6Address(QString& address, QString& why) {
    platform::SettingsStore store = OpenSettings();
    const QString name = sourceName(store);
    const std::optional<AddressSource> source = platform::ParseAddressSource(name);
    const platform::AgreementSettings settings = agreementSettings(store);
    const auto answered = [&](const QString& found, const QString& reason) {
        address = found;
        why = found.isEmpty() ? reason : QString();
        return !found.isEmpty();
    };
    if (!source)
        return answered({}, QStringLiteral("there is no address source called \"%1\"").arg(name));
    switch (*source) {
    case AddressSource::Local:
    case AddressSource::Local6: {
        platform::AddressQuery query;
        query.source = AddressSource::Local6;
        query.temporaryIPv6 = settings.temporaryIPv6;
        const platform::AddressAnswer answer = platform::AskAddressSource(query);
        return answered(answer.address, answer.error);
    }
    case AddressSource::Router:
        return answered({}, QStringLiteral("the router tells no IPv6 address"));
    case AddressSource::Web: {
        const QList<platform::SourceAnswer> web =
            webSources(platform::AddressFamily::IPv6, settings);
        if (web.size() > 1) {
            const platform::Agreement agreement = agreeOn(web);
            return answered(agreement.address, agreement.Explained());
        }
        platform::AddressQuery query = web.value(0).query;
        const platform::AddressAnswer answer =
            platform::FindAddress(query, [] { return UploadCancelled(); });
        const QString reason = platform::UnreachableReason(answer.address);
        if (!answer.address.isEmpty() && !reason.isEmpty())
            return answered(
                {}, QStringLiteral("the web service answered %1, %2").arg(answer.address, reason));
        return answered(answer.address, answer.error);
    }
    default: {
        const platform::Agreement agreement =
            agreeOn(platform::AgreementSources(platform::AddressFamily::IPv6, settings));
        return answered(agreement.address, agreement.Explained());
    }
    }
}

QString PublishedAddressSource() {
    platform::SettingsStore store = OpenSettings();
    return sourceName(store).toLower();
}

platform::Publication DescribePublication() {
    frmTallyhost& form = MainForm();
    platform::SettingsStore store = OpenSettings();
    platform::Publication p;
    if (onlyWhenChanged(store)) {
        // Where the template has the IPv6 marker, the IPv6 address is part of the page.
        const QString marker6 = IPv6Marker();
        bool holdsMarker6 = false;
        p.templateHash =
            platform::FileHash(form.txtHTMLTemplate->text(), marker6.toLocal8Bit(), &holdsMarker6);
        if (holdsMarker6)
            p.marker6 = marker6;
    }
    p.marker = form.txtIPParseField[0]->text();
    p.site = form.txtFTPSite->text();
    p.userName = form.txtUserName->text();
    p.directory = form.txtUploadDir->text();
    p.uploadFileName = form.txtUploadFileName->text();
    // Salted as the last record was, so that the same password compares the same.
    const std::optional<platform::Publication> last = platform::LoadPublication();
    p.loginDigest =
        platform::LoginDigest(form.txtPassword->text(), last ? last->loginDigest : QByteArray());
    p.time = QDateTime::currentDateTimeUtc();
    return p;
}

bool PublishedAlready(const platform::Publication& publication) {
    platform::SettingsStore store = OpenSettings();
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
    platform::SettingsStore store = OpenSettings();
    if (onlyWhenChanged(store))
        platform::MsgBox(QStringLiteral("Unable to save the published address to ") +
                             platform::PublicationStatePath() + QStringLiteral(" - ") + error,
                         platform::MsgIcon::Critical);
}

void ShowOptions() {
    frmOptions dialog(&MainForm());
    LoadOptions(dialog);
    LoadSchedule(dialog);
    LoadPageOptions(dialog);
    LoadPasswordOptions(dialog);
    dialog.exec();
}

void LoadOptions(frmOptions& dialog) {
    QObject::connect(&dialog, &frmOptions::detectRequested, &dialog,
                     [&dialog] { DetectAddresses(dialog); });
    // The page's address is checked first: a typing mistake there keeps the dialog open with
    // nothing saved.
    dialog.maySave = [&dialog] {
        return SavePageOptions(dialog) && SaveOptions(dialog) && SaveNoticeOptions(dialog) &&
               SavePasswordOptions(dialog) && ApplySchedule(dialog);
    };
    platform::SettingsStore store = OpenSettings();
    const QString name = sourceName(store);
    const std::optional<AddressSource> source = platform::ParseAddressSource(name);
    // A source the program does not know stays stored as it is unless the user picks one.
    if (source)
        dialog.optSource[size_t(*source)]->setChecked(true);
    dialog.txtRouterURL->setText(store.GetSetting(SettingKey::RouterURL));
    dialog.txtWebURL->setText(store.GetSetting(SettingKey::WebURL));
    dialog.txtStunServers->setText(store.GetSetting(SettingKey::StunServers));
    dialog.chkTemporaryIPv6->setChecked(isTrue(store.GetSetting(SettingKey::TemporaryIPv6)));
    const bool changedOnly = onlyWhenChanged(store);
    dialog.chkOnlyWhenChanged->setChecked(changedOnly);
    dialog.updRefreshDays->setValue(refreshDays(store));
    dialog.updRefreshDays->setEnabled(changedOnly);

    const std::optional<platform::Publication> last = platform::LoadPublication();
    if (last && last->time.isValid())
        dialog.lblLastPublished->setText(
            QStringLiteral("Last published: %1 at %2")
                .arg(last->address6.isEmpty()
                         ? last->address
                         : last->address + QStringLiteral(" and ") + last->address6,
                     QLocale().toString(last->time.toLocalTime(), QLocale::ShortFormat)));
    else
        dialog.lblLastPublished->setText(QStringLiteral("Last published: nothing yet"));
}

bool SaveOptions(frmOptions& dialog) {
    const QString routerURL = dialog.txtRouterURL->text().trimmed();
    const QString webURL = entries(dialog.txtWebURL->text()).join(QLatin1Char(' '));
    const QString stunServers = entries(dialog.txtStunServers->text()).join(QLatin1Char(' '));
    // The router's library speaks plain HTTP only.
    if (!routerURL.isEmpty() &&
        !routerURL.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) {
        platform::MsgBox(QStringLiteral("The router's description URL must start with http://."),
                         platform::MsgIcon::Exclamation);
        dialog.txtRouterURL->setFocus();
        return false;
    }
    for (const QString& url : entries(webURL)) {
        if (!url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive) &&
            !url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) {
            platform::MsgBox(QStringLiteral("The web address must start with https:// or http://."),
                             platform::MsgIcon::Exclamation);
            dialog.txtWebURL->setFocus();
            return false;
        }
    }
    static const QRegularExpression hostPort(
        QStringLiteral("^([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]{1,5})?$"));
    for (const QString& server : entries(stunServers)) {
        if (!hostPort.match(server).hasMatch()) {
            platform::MsgBox(QStringLiteral("A STUN server is written host:port, such as "
                                            "stun.example.net:3478, and several are separated "
                                            "by spaces."),
                             platform::MsgIcon::Exclamation);
            dialog.txtStunServers->setFocus();
            return false;
        }
    }

    platform::SettingsStore store = OpenSettings();
    for (size_t i = 0; i < dialog.optSource.size(); ++i)
        if (dialog.optSource[i]->isChecked())
            store.SaveSetting(SettingKey::Source, platform::AddressSourceName(AddressSource(i)));
    store.SaveSetting(SettingKey::RouterURL, routerURL);
    store.SaveSetting(SettingKey::WebURL, webURL);
    store.SaveSetting(SettingKey::StunServers, stunServers);
    store.SaveSetting(SettingKey::TemporaryIPv6, dialog.chkTemporaryIPv6->isChecked()
                                                     ? QStringLiteral("True")
                                                     : QStringLiteral("False"));
    store.SaveSetting(SettingKey::OnlyWhenChanged, dialog.chkOnlyWhenChanged->isChecked()
                                                       ? QStringLiteral("True")
                                                       : QStringLiteral("False"));
    store.SaveSetting(SettingKey::RefreshDays, QString::number(dialog.updRefreshDays->value()));
    return SyncSettings(store);
}

void DetectAddresses(frmOptions& dialog) {
    dialog.cmdDetect->setEnabled(false);
    for (size_t i = 0; i < dialog.lblAnswer.size(); ++i) {
        dialog.lblAnswer[i]->setText(QStringLiteral("asking..."));
        dialog.lblHint[i]->clear();
    }
    platform::AgreementSettings settings;
    settings.routerURL = dialog.txtRouterURL->text();
    settings.webURLs = dialog.txtWebURL->text();
    settings.stunServers = dialog.txtStunServers->text();
    settings.temporaryIPv6 = dialog.chkTemporaryIPv6->isChecked();
    // What the last choice asks, each answer shown in its source's row as it comes.
    auto asked = std::make_shared<QList<platform::SourceAnswer>>(
        platform::AgreementSources(platform::AddressFamily::IPv4, settings));
    auto pending = std::make_shared<size_t>(2 + size_t(asked->size()));
    const auto oneDone = [&dialog, asked, pending] {
        if (--*pending != 0)
            return;
        const platform::Agreement agreement = platform::Agree(*asked);
        const size_t row = size_t(AddressSource::Auto);
        dialog.lblAnswer[row]->setText(agreement.address.isEmpty() ? QStringLiteral("nothing")
                                                                   : agreement.address);
        dialog.lblHint[row]->setText(agreement.diagnosis.isEmpty()
                                         ? agreement.verdict + QLatin1Char('.')
                                         : agreement.verdict + QStringLiteral(". ") +
                                               agreement.diagnosis);
        dialog.cmdDetect->setEnabled(true);
    };

    for (AddressSource source : {AddressSource::Local, AddressSource::Local6}) {
        platform::AddressQuery query;
        query.source = source;
        query.temporaryIPv6 = settings.temporaryIPv6;
        auto* lookup = new platform::AddressLookup(query, &dialog);
        QObject::connect(lookup, &platform::AddressLookup::answered, &dialog,
                         [&dialog, lookup, source, oneDone] {
                             showAnswer(dialog, size_t(source), lookup->Answer());
                             lookup->deleteLater();
                             oneDone();
                         });
    }
    for (qsizetype n = 0; n < asked->size(); ++n) {
        auto* lookup = new platform::AddressLookup((*asked)[n].query, &dialog);
        QObject::connect(lookup, &platform::AddressLookup::answered, &dialog,
                         [&dialog, lookup, asked, n, oneDone] {
                             (*asked)[n].answer = lookup->Answer();
                             showKind(dialog, *asked, (*asked)[n].query.source);
                             lookup->deleteLater();
                             oneDone();
                         });
    }
}
