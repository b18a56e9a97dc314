#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace platform {

namespace {

#if defined(Q_OS_WIN)
QString storePath(const QString& appName) {
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\") + appName;
}
#endif

QString keyPath(const QString& section, const QString& key) {
    return section + QLatin1Char('/') + key;
}

} // namespace

#if defined(Q_OS_WIN)
SettingsStore::SettingsStore(const QString& appName)
    : m_settings(storePath(appName), QSettings::NativeFormat) {}
#else
SettingsStore::SettingsStore(const QString& appName)
    : m_settings(QSettings::IniFormat, QSettings::UserScope, appName) {}
#endif

QString SettingsStore::GetSetting(const QString& section, const QString& key,
                                  const QString& defaultValue) {
    const QVariant v = m_settings.value(keyPath(section, key));
    if (!v.isValid())
        return defaultValue;
    return v.toString();
}

void SettingsStore::SaveSetting(const QString& section, const QString& key, const QString& value) {
    m_settings.setValue(keyPath(section, key), value);
}

bool SettingsStore::Sync() {
#if !defined(Q_OS_WIN)
    // The file carries a password: create it private before the first value reaches it.
    // Writing replaces the file but keeps the permissions of the one it replaces.
    const QString path = m_settings.fileName();
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
    m_settings.sync();
    return m_settings.status() == QSettings::NoError;
}

QString SettingsStore::FileName() const {
    return QDir::toNativeSeparators(m_settings.fileName());
}

} // namespace platform
