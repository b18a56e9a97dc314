#include "modPassword.h"

#include "Keyring.h"
#include "MsgBox.h"
#include "frmOptions.h"
#include "frmTallyhost.h"
#include "modSettings.h"
#include "modTallyhost.h"

#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

using namespace std::chrono_literals;
using platform::SettingKey;
namespace keyring = platform::keyring;

namespace {

// Long enough for a keyring that has to start; a locked one in the window may ask the user to
// unlock it, which takes a person's time.
constexpr auto ProbeWait = 5s;
constexpr auto RunWait = 10s;
constexpr auto PersonWait = 120s;

// The password as last read or saved, and where it is.
struct Kept {
    QString site;
    QString user;
    QString password;
    bool inKeyring = false;
    bool known = false; // false: in the keyring, which could not be read
    QString problem;
    QString hint; // where no keyring answers and none was chosen: where the password may be
    // The file has a Password line, or is not set up yet (no user name) and gets every key:
    // a file with a user and no password line keeps the password elsewhere.
    bool lineWanted = true;
};
Kept g_kept;

QString keyOf(const QString& site, const QString& user) {
    return user + QLatin1Char('@') + site.trimmed();
}

bool chosen(platform::SettingsStore& store, const char* place) {
    return store.GetSetting(SettingKey::PasswordStore)
               .compare(QLatin1String(place), Qt::CaseInsensitive) == 0;
}

QString unreadable(const keyring::Status& status) {
    const QString what = status.state == keyring::State::Locked
                             ? QStringLiteral("which is locked")
                             : QStringLiteral("which cannot be read (%1)").arg(status.reason);
    return QStringLiteral("The password is in the desktop keyring, %1: log in, or keep the "
                          "password in the settings file with PasswordStore=file")
        .arg(what);
}

// Puts the password into the keyring; the file loses its Password line once it is there.
bool intoKeyring(platform::SettingsStore& store, const QString& site, const QString& user,
                 const QString& password, keyring::Status* status) {
    *status = keyring::Probe(ProbeWait);
    if (status->state == keyring::State::Absent)
        return false;
    QString why;
    if (!keyring::Write(keyOf(site, user), password, PersonWait, &why)) {
        status->reason = why;
        return false;
    }
    // PasswordStore stays as it was: the keyring is the default, and a file that names no
    // password at all is what the user asked for.
    store.RemoveSetting(SettingKey::Password);
    // The old site's or user's secret is of no more use.
    if (g_kept.inKeyring && keyOf(g_kept.site, g_kept.user) != keyOf(site, user))
        keyring::Remove(keyOf(g_kept.site, g_kept.user), ProbeWait, &why);
    return true;
}

} // namespace

QString LoadPassword(platform::SettingsStore& store, const QString& site, const QString& user) {
    g_kept = {site, user, {}, false, true, {}, {}, true};
    g_kept.lineWanted =
        store.HasSetting(SettingKey::Password) || !store.HasSetting(SettingKey::UserName);
    if (store.HasSetting(SettingKey::Password) || chosen(store, "file")) {
        g_kept.password = store.GetSetting(SettingKey::Password);
        return g_kept.password;
    }
    const bool person = !HasUnattendedSwitch(strCommandLine);
    const bool named = chosen(store, "keyring");
    const keyring::Status status = keyring::Probe(ProbeWait);
    // A machine without a keyring, where none was chosen, has no password anywhere but in
    // the file; a run nobody watches never has the desktop ask to unlock the keyring.
    if (status.state == keyring::State::Absent && !named) {
        g_kept.hint = QStringLiteral(" If it is kept in the desktop keyring: none answers here "
                                     "(%1); keep it in the settings file with "
                                     "PasswordStore=file.")
                          .arg(status.reason);
        return {};
    }
    g_kept.inKeyring = true;
    if (status.state == keyring::State::Absent ||
        (status.state == keyring::State::Locked && !person)) {
        g_kept.known = false;
        g_kept.problem = unreadable(status);
        return {};
    }
    const keyring::Reading reading =
        keyring::Read(keyOf(site, user), person ? PersonWait : RunWait);
    if (!reading.ok) {
        g_kept.known = false;
        g_kept.problem = unreadable({keyring::State::Absent, reading.reason});
        return {};
    }
    g_kept.inKeyring = named || reading.secret.has_value();
    g_kept.password = reading.secret.value_or(QString());
    return g_kept.password;
}

bool PasswordAtHand(const QString& site, const QString& password) {
    // An SSH server may take a key instead: the login says what it tried.
    if (g_kept.problem.isEmpty() || !password.isEmpty() ||
        site.trimmed().startsWith(QLatin1String("sftp://"), Qt::CaseInsensitive))
        return true;
    platform::MsgBox(g_kept.problem, platform::MsgIcon::Exclamation);
    return false;
}

QString PasswordHint() {
    return HasUnattendedSwitch(strCommandLine) ? g_kept.hint : QString();
}

void SavePassword(platform::SettingsStore& store, const QString& site, const QString& user,
                  const QString& password) {
    const bool unchanged =
        g_kept.site == site && g_kept.user == user && g_kept.password == password;
    if (HasUnattendedSwitch(strCommandLine) || (!g_kept.known && unchanged)) {
        if (!g_kept.inKeyring && g_kept.lineWanted)
            store.SaveSetting(SettingKey::Password, password);
        return;
    }
    QString why;
    if (chosen(store, "file")) {
        store.SaveSetting(SettingKey::Password, password);
        if (g_kept.inKeyring && g_kept.known)
            keyring::Remove(keyOf(g_kept.site, g_kept.user), ProbeWait, &why);
        g_kept = {site, user, password, false, true, {}, {}, true};
        return;
    }
    if (unchanged && g_kept.inKeyring)
        return;
    keyring::Status status;
    if (password.isEmpty()) {
        // Nothing to keep: the keyring forgets what it held.
        if (g_kept.inKeyring)
            keyring::Remove(keyOf(g_kept.site, g_kept.user), ProbeWait, &why);
        else
            store.SaveSetting(SettingKey::Password, password);
    } else if (intoKeyring(store, site, user, password, &status)) {
        g_kept = {site, user, password, true, true, {}, {}, true};
        return;
    } else if (status.state == keyring::State::Absent && !chosen(store, "keyring")) {
        store.SaveSetting(SettingKey::Password, password);
    } else {
        platform::MsgBox(QStringLiteral("Unable to keep the password in the desktop keyring (%1), "
                                        "so it was not saved. Unlock the keyring, or keep the "
                                        "password in the settings file (Tools > Options).")
                             .arg(status.reason),
                         platform::MsgIcon::Exclamation);
    }
    g_kept = {site, user, password, g_kept.inKeyring, true, {}, {}, true};
}

void LoadPasswordOptions(frmOptions& dialog) {
    platform::SettingsStore store = OpenSettings();
    const keyring::Status status = keyring::Probe(ProbeWait);
    const bool toFile = chosen(store, "file") ||
                        (!chosen(store, "keyring") && status.state == keyring::State::Absent);
    (toFile ? dialog.optPasswordFile : dialog.optPasswordKeyring)->setChecked(true);
    dialog.optPasswordFile->setProperty("shown", toFile);
    QString text =
        g_kept.inKeyring
            ? QStringLiteral("The password is kept in the desktop keyring.")
            : QStringLiteral("The password is kept in the settings file %1.").arg(store.FileName());
    if (status.state == keyring::State::Absent)
        text += QStringLiteral(" No desktop keyring answers: %1.").arg(status.reason);
    else
        text += QStringLiteral(" A schedule that runs while you are logged out finds the "
                               "keyring locked: for that, keep the password in the file.");
    dialog.lblPasswordPlace->setText(text);
    dialog.optPasswordKeyring->setEnabled(status.state != keyring::State::Absent || !toFile);
}

bool SavePasswordOptions(frmOptions& dialog) {
    const QVariant shown = dialog.optPasswordFile->property("shown");
    const bool toFile = dialog.optPasswordFile->isChecked();
    // Not shown, or not changed: nothing to move.
    if (!shown.isValid() || shown.toBool() == toFile)
        return true;
    platform::SettingsStore store = OpenSettings();
    store.SaveSetting(SettingKey::PasswordStore,
                      toFile ? QStringLiteral("file") : QStringLiteral("keyring"));
    const frmTallyhost& form = MainForm();
    // Moved even though it has not changed.
    g_kept.known = g_kept.known || !form.txtPassword->text().isEmpty();
    g_kept.password.clear();
    SavePassword(store, form.txtFTPSite->text(), form.txtUserName->text(),
                 form.txtPassword->text());
    return SyncSettings(store);
}
