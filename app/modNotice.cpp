#include "modNotice.h"

#include "DesktopNotice.h"
#include "MessageLine.h"
#include "MsgBox.h"
#include "NoticeState.h"
#include "modSettings.h"

#include <QDateTime>

namespace {

using platform::SettingKey;

// Where the page went, as the user typed it, without the account.
QString where(const platform::Publication& p) {
    QString place = p.site;
    for (const QString& part : {p.directory, p.uploadFileName}) {
        if (part.isEmpty())
            continue;
        if (!place.endsWith(QLatin1Char('/')))
            place += QLatin1Char('/');
        place += part;
    }
    return place;
}

} // namespace

bool NoticeOnAddressChange() {
    platform::SettingsStore store = OpenSettings();
    const QString value = store.GetSetting(SettingKey::NoticeOnChange).trimmed().toLower();
    return value == QLatin1String("true") || value == QLatin1String("1") ||
           value == QLatin1String("yes") || value == QLatin1String("on");
}

bool SetNoticeOnAddressChange(bool on) {
    platform::SettingsStore store = OpenSettings();
    // Left unwritten while off and never set, as the settings file had it.
    const platform::Setting& key = platform::SettingOf(SettingKey::NoticeOnChange);
    if (!on && store.GetSetting(key.Section(), key.Key()).isEmpty())
        return true;
    store.SaveSetting(SettingKey::NoticeOnChange,
                      on ? QStringLiteral("True") : QStringLiteral("False"));
    return SyncSettings(store);
}

void NoticeUnattendedRun(bool published, const std::optional<platform::Publication>& before) {
    platform::NoticeState state = platform::NoticeState::Load();
    if (!published) {
        if (!state.failing) {
            state.failing = true;
            state.told = false;
            state.failingSince = QDateTime::currentDateTimeUtc();
        }
        // The line a scheduler mails when nobody can see the window, else the last box shown.
        const platform::Message written = platform::MessageLine::LastWritten();
        state.message = written.text.isEmpty() ? platform::LastMessage().text : written.text;
        // A streak begun while nobody's desktop was there is told once one is.
        if (!state.told)
            state.told = platform::ShowDesktopNotice(
                state.message.startsWith(QLatin1String("Uploaded, not seen: "))
                    ? QStringLiteral("Visitors do not see the published page")
                    : QStringLiteral("Vantrell could not publish the page"),
                state.message, platform::NoticeUrgency::Critical);
        state.Save();
        return;
    }

    const std::optional<platform::Publication> now = platform::LoadPublication();
    if (state.failing) {
        if (state.told) {
            platform::ShowDesktopNotice(
                QStringLiteral("Vantrell publishes the page again"),
                now ? QStringLiteral("%1 is published on %2.").arg(now->address, where(*now))
                    : QStringLiteral("The page is published again."),
                platform::NoticeUrgency::Normal);
        }
        platform::NoticeState().Save();
    }
    // A run that found the page up to date published nothing, and the address stayed.
    if (now && before && now->address != before->address && !before->address.isEmpty() &&
        NoticeOnAddressChange())
        platform::ShowDesktopNotice(QStringLiteral("The published address changed"),
                                    QStringLiteral("%1 now shows %2 instead of %3.")
                                        .arg(where(*now), now->address, before->address),
                                    platform::NoticeUrgency::Normal);
}
