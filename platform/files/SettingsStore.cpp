#include "SettingsStore.h"

#include "IniCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <optional>
#include <utility>

namespace platform {

namespace {

#if defined(Q_OS_WIN)
QString storePath(const QString& appName) {
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\") + appName;
}
#else

// The file as it was read travels with its values under a key that no line can give, so that
// saving can change the file line by line instead of writing it anew.
const QString FileTextKey = QStringLiteral("\u0001file");

bool readSettings(QIODevice& device, QSettings::SettingsMap& map) {
    const QByteArray data = device.readAll();
    const ini::Values values = ini::Read(data);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        if (it.key() != FileTextKey)
            map.insert(it.key(), it.value());
    map.insert(FileTextKey, data);
    return true;
}

// The store holds text only. A file written for the first time has the toolkit's layout:
// [General] for keys outside a section, sections apart by an empty line.
bool writeSettings(QIODevice& device, const QSettings::SettingsMap& map) {
    ini::Values values;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        if (it.key() != FileTextKey)
            values.insert(it.key(), it.value().toString());
    const QByteArray out = ini::Edited(map.value(FileTextKey).toByteArray(), values);
    return device.write(out) == out.size();
}

QSettings::Format settingsFileFormat() {
    static const QSettings::Format format = QSettings::registerFormat(
        QStringLiteral("ini"), readSettings, writeSettings, Qt::CaseSensitive);
    return format;
}

// The file the toolkit keeps the application's values in, found without opening it: a format
// of another extension lives in the same folder, and no file of its name is there to open.
QString userFileName(const QString& appName) {
    static const QString probeExtension = QStringLiteral("vantrell-path");
    static const QSettings::Format probe =
        QSettings::registerFormat(probeExtension, readSettings, writeSettings, Qt::CaseSensitive);
    const QString probed = QSettings(probe, QSettings::UserScope, appName).fileName();
    return probed.chopped(probeExtension.size()) + QStringLiteral("ini");
}

#endif

QString keyPath(const QString& section, const QString& key) {
    return section + QLatin1Char('/') + key;
}

} // namespace

#if defined(Q_OS_WIN)
SettingsStore::SettingsStore(const QString& appName) {
    m_settings.emplace(storePath(appName), QSettings::NativeFormat);
    m_fileName = m_settings->fileName();
}
#else
SettingsStore::SettingsStore(const QString& appName) : m_fileName(userFileName(appName)) {
    // A folder is safe to hand on: the toolkit cannot open it and reports that.
    const QFileInfo info(m_fileName);
    if (!info.exists() || info.isFile() || info.isDir())
        m_settings.emplace(settingsFileFormat(), QSettings::UserScope, appName);
}
#endif

QString SettingsStore::GetSetting(const QString& section, const QString& key,
                                  const QString& defaultValue) {
    if (!m_settings)
        return defaultValue;
    const QVariant v = m_settings->value(keyPath(section, key));
    if (!v.isValid())
        return defaultValue;
    return v.toString();
}

void SettingsStore::SaveSetting(const QString& section, const QString& key, const QString& value) {
    if (!m_settings)
        return;
    const QString path = keyPath(section, key);
    // A value the store holds already is not written again: rewriting the file ends with a
    // flush to the disk, which waits for whatever else the system is still writing (a page
    // just made, say).
    const QVariant stored = m_settings->value(path);
    if (stored.isValid() && stored.toString() == value)
        return;
    m_settings->setValue(path, value);
}

QString SettingsStore::GetSetting(SettingKey key) {
    const Setting& s = SettingOf(key);
    return GetSetting(s.Section(), s.Key(), s.Default());
}

void SettingsStore::SaveSetting(SettingKey key, const QString& value) {
    const Setting& s = SettingOf(key);
    // A key the file holds in the wrong place was not read, so the field stayed empty: an empty
    // key added in its place would stand beside the one the user wrote, and one of them would be
    // lost when the user moves theirs.
    if (value.isEmpty() && m_settings && !m_settings->contains(keyPath(s.Section(), s.Key()))) {
        for (const auto& [section, name] : Keys())
            if (MisplacedSetting(section, name) == &s)
                return;
    }
    SaveSetting(s.Section(), s.Key(), value);
}

bool SettingsStore::HasSetting(SettingKey key) {
    const Setting& s = SettingOf(key);
    return m_settings && m_settings->contains(keyPath(s.Section(), s.Key()));
}

void SettingsStore::RemoveSetting(SettingKey key) {
    const Setting& s = SettingOf(key);
    if (HasSetting(key))
        m_settings->remove(keyPath(s.Section(), s.Key()));
}

bool SettingsStore::Sync() {
    if (!m_settings)
        return false;
#if !defined(Q_OS_WIN)
    // The file carries a password: create it private before the first value reaches it.
    // Writing replaces the file but keeps the permissions of the one it replaces.
    const QString& path = m_fileName;
    const QFileInfo info(path);
    if (!info.exists()) {
        QDir().mkpath(info.absolutePath());
        QFile f(path);
        if (f.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            f.close();
    }
    if (QFileInfo(path).isFile())
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#endif
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

QList<std::pair<QString, QString>> SettingsStore::Keys() const {
    QList<std::pair<QString, QString>> keys;
    if (!m_settings)
        return keys;
    for (const QString& path : m_settings->allKeys()) {
#if !defined(Q_OS_WIN)
        if (path == FileTextKey)
            continue;
#endif
        const qsizetype slash = path.indexOf(QLatin1Char('/'));
        if (slash < 0)
            keys.append({QString(), path});
        else
            keys.append({path.left(slash), path.mid(slash + 1)});
    }
    return keys;
}

QString SettingsStore::FileName() const {
    return QDir::toNativeSeparators(m_fileName);
}

} // namespace platform
