#pragma once

#include <QString>

#include <span>

namespace platform {

// The name of the per-user settings store: ${XDG_CONFIG_HOME:-~/.config}/TallyhostUpdater.ini
// on Linux, HKEY_CURRENT_USER\Software\VB and VBA Program Settings\TallyhostUpdater on Windows.
QString SettingsStoreName();

// Every key the program reads from the store, by the name its code knows it by. Where each
// stands, how it is spelled and what it is when missing are in the one table in
// SettingsTable.cpp.
enum class SettingKey {
    FTPSite,
    UserName,
    Password,
    UploadFileName,
    TrustedCertificate,
    KeyFile,
    PasswordStore,
    HTMLTemplate,
    IPParseField,
    IPv6Marker,
    UploadDir,
    PageURL,
    Source,
    WebURL,
    StunServers,
    RouterURL,
    TemporaryIPv6,
    OnlyWhenChanged,
    RefreshDays,
    NoticeOnChange,
};

// One key as the store holds it. Users' files and registries are written this way: the
// section, the spelling (cases count) and the default never change.
struct Setting {
    SettingKey id;
    const char* section;
    const char* key;
    // What the program takes while the store lacks the key. A value stored empty stays empty;
    // for the switches and the source, empty means the same as the default.
    const char* defaultValue;

    QString Section() const { return QString::fromLatin1(section); }
    QString Key() const { return QString::fromLatin1(key); }
    QString Default() const { return QString::fromLatin1(defaultValue); }
};

const Setting& SettingOf(SettingKey key);

// The whole table, section by section.
std::span<const Setting> AllSettings();

// The key that one standing in a section under a name was meant to be, when it is not where
// the program reads it: the same name in other cases or under another section (the section
// spelled in other cases counts as the same one). Null for a key in its place, and for a key
// the program does not know.
const Setting* MisplacedSetting(const QString& section, const QString& key);

} // namespace platform
