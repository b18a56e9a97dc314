#include "modSettings.h"

#include "MsgBox.h"
#include "SettingsTable.h"

platform::SettingsStore OpenSettings() {
    return platform::SettingsStore(platform::SettingsStoreName());
}

bool SyncSettings(platform::SettingsStore& store) {
    if (store.Sync())
        return true;
    platform::MsgBox(QStringLiteral("Unable to save settings to ") + store.FileName(),
                     platform::MsgIcon::Critical);
    return false;
}
