#include "SettingsTable.h"

#include <iterator>

namespace platform {

namespace {

using K = SettingKey;

// Users' files and registries carry the store's name, as they carry every section and key below.
constexpr char StoreName[] = "TallyhostUpdater";

// The one table of the store's keys. An empty default leaves the choice to the program where
// it has one: the web services and STUN servers it knows, a search for the router, OpenSSH's
// own key files, the desktop's keyring where one answers.
constexpr Setting Table[] = {
    {K::FTPSite, "FTP", "FTPSite", ""},
    {K::UserName, "FTP", "UserName", ""},
    {K::Password, "FTP", "Password", ""},
    {K::UploadFileName, "FTP", "UploadFileName", ""},
    {K::TrustedCertificate, "FTP", "TrustedCertificate", ""},
    {K::KeyFile, "FTP", "KeyFile", ""},
    {K::PasswordStore, "FTP", "PasswordStore", ""},
    {K::HTMLTemplate, "HTML", "HTMLTemplate", ""},
    {K::IPParseField, "HTML", "IPParseField", "%Tallyhost%"},
    {K::IPv6Marker, "HTML", "IPv6Marker", "%Tallyhost6%"},
    {K::UploadDir, "HTML", "UploadDir", ""},
    {K::PageURL, "HTML", "PageURL", ""},
    {K::Source, "Address", "Source", "local"},
    {K::WebURL, "Address", "WebURL", ""},
    {K::StunServers, "Address", "StunServers", ""},
    {K::RouterURL, "Address", "RouterURL", ""},
    {K::TemporaryIPv6, "Address", "TemporaryIPv6", "False"},
    {K::OnlyWhenChanged, "Address", "OnlyWhenChanged", "False"},
    {K::RefreshDays, "Address", "RefreshDays", "25"},
    {K::NoticeOnChange, "Address", "NoticeOnChange", "False"},
};

// SettingOf() finds a key by its place in the table.
constexpr bool inOrder() {
    for (std::size_t i = 0; i < std::size(Table); ++i)
        if (Table[i].id != SettingKey(i))
            return false;
    return std::size(Table) == std::size_t(K::NoticeOnChange) + 1;
}
static_assert(inOrder(), "the table lists every SettingKey once, in the enum's order");

} // namespace

QString SettingsStoreName() {
    return QString::fromLatin1(StoreName);
}

const Setting& SettingOf(SettingKey key) {
    return Table[std::size_t(key)];
}

std::span<const Setting> AllSettings() {
    return Table;
}

const Setting* MisplacedSetting(const QString& section, const QString& key) {
    const Setting* meant = nullptr;
    for (const Setting& s : Table) {
        if (key.compare(QLatin1String(s.key), Qt::CaseInsensitive) != 0)
            continue;
        if (section == QLatin1String(s.section) && key == QLatin1String(s.key))
            return nullptr;
        if (!meant || section.compare(QLatin1String(s.section), Qt::CaseInsensitive) == 0)
            meant = &s;
    }
    return meant;
}

} // namespace platform
