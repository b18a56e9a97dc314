#pragma once

#include "SettingsTable.h"

#include <QByteArray>
#include <QList>
#include <QSettings>
#include <QString>

#include <optional>
#include <utility>

namespace platform {

// The per-user settings store: text values addressed by application, section and key.
// Linux keeps them in ${XDG_CONFIG_HOME:-~/.config}/<application>.ini, readable by its owner
// only, since the values include a password in plain text. Windows keeps them in the registry
// under HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<application>\<section>.
//
// Without a window the file is the only way to set the program up, so it is read and written
// for people as well as for the program: IniCodec.h tells how its values are read.
//
// Saving changes only the lines whose values changed, and adds a key the file lacks after the
// last key of its section: comments, blank lines, the order of the lines, the spelling of the
// keys and every value that stays the same are kept as written. What is written takes the
// toolkit's form, so that older builds read it as this one does.
class SettingsStore {
public:
    explicit SettingsStore(const QString& appName);

    // The stored text, or defaultValue when the key does not exist. A stored empty value is "".
    QString GetSetting(const QString& section, const QString& key,
                       const QString& defaultValue = {});
    void SaveSetting(const QString& section, const QString& key, const QString& value);

    // One of the program's keys, where SettingsTable.cpp says it stands; its default when the
    // store lacks it.
    QString GetSetting(SettingKey key);
    void SaveSetting(SettingKey key, const QString& value);
    // Whether the store holds the key at all, and takes its line away.
    bool HasSetting(SettingKey key);
    void RemoveSetting(SettingKey key);

    // Writes what was saved to the store. False when it could not be written.
    bool Sync();

    // Every key the store holds, with its section (empty for a key outside every section), in
    // the store's order.
    QList<std::pair<QString, QString>> Keys() const;

    // Where the values live, for messages.
    QString FileName() const;

private:
    // Empty when the file is something other than a file or a folder (a pipe, a device): the
    // toolkit would wait for a pipe's writer for ever. Nothing is read or written then.
    std::optional<QSettings> m_settings;
    QString m_fileName;
};

} // namespace platform
