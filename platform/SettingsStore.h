#pragma once

#include <QSettings>
#include <QString>

namespace platform {

// The per-user settings store: text values addressed by application, section and key.
// Linux keeps them in ${XDG_CONFIG_HOME:-~/.config}/<application>.ini, readable by its owner
// only, since the values include a password in plain text. Windows keeps them in the registry
// under HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<application>\<section>.
class SettingsStore {
public:
    explicit SettingsStore(const QString& appName);

    // The stored text, or defaultValue when the key does not exist. A stored empty value is "".
    QString GetSetting(const QString& section, const QString& key,
                       const QString& defaultValue = {});
    void SaveSetting(const QString& section, const QString& key, const QString& value);

    // Writes what was saved to the store. False when it could not be written.
    bool Sync();

    // Where the values live, for messages.
    QString FileName() const;

private:
    QSettings m_settings;
};

} // namespace platform
