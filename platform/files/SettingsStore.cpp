#include "SettingsStore.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QMap>

#include <optional>
#include <utility>

namespace platform {

namespace {

#if defined(Q_OS_WIN)
QString storePath(const QString& appName) {
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\") + appName;
}
#else

// The toolkit's INI escaping, written out here so that values can be told apart from text
// typed by hand, and written back exactly as the toolkit writes them.

bool isHexDigit(char16_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Keys and section names: "\" stands for "/", %XX and %UXXXX for any other character.
QString unescapeKey(QByteArrayView key) {
    const QString text = QString::fromUtf8(key);
    QString out;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\')) {
            out += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c == QLatin1Char('%') && i + 1 < text.size()) {
            const bool wide = text.at(i + 1) == QLatin1Char('U');
            const qsizetype first = i + (wide ? 2 : 1);
            const qsizetype digits = wide ? 4 : 2;
            bool ok = false;
            const ushort code =
                first + digits <= text.size() ? text.mid(first, digits).toUShort(&ok, 16) : 0;
            if (ok) {
                out += QChar(code);
                i = first + digits;
                continue;
            }
        }
        out += c;
        ++i;
    }
    return out;
}

QByteArray escapeKey(const QString& key) {
    QByteArray out;
    for (const QChar qc : key) {
        const char16_t c = qc.unicode();
        if (c == '/')
            out += '\\';
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '_' || c == '-' || c == '.')
            out += char(c);
        else if (c <= 0xFF)
            out += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        else
            out += "%U" + QByteArray::number(c, 16).toUpper().rightJustified(4, '0');
    }
    return out;
}

// Text that starts with "@" or holds a NUL is marked, so that it is not mistaken for one of
// the toolkit's typed values.
QString marked(const QString& value) {
    if (value.contains(QChar::Null))
        return QStringLiteral("@String(") + value + QLatin1Char(')');
    if (value.startsWith(QLatin1Char('@')))
        return QLatin1Char('@') + value;
    return value;
}

// Escapes every character, without the quotes. The toolkit writes text beyond ASCII as UTF-8;
// older writers put it in \x escapes.
QByteArray escapeText(const QString& text, bool utf8) {
    QByteArray out;
    QString plain;
    const auto flush = [&] {
        out += plain.toUtf8();
        plain.clear();
    };
    bool escapeNextIfHex = false;
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        // A hex digit right after \0 or \xNN would read as part of that escape.
        if (escapeNextIfHex && isHexDigit(c)) {
            flush();
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfHex = false;
        const char* named = nullptr;
        switch (c) {
        case '\0':
            named = "\\0";
            escapeNextIfHex = true;
            break;
        case '\a':
            named = "\\a";
            break;
        case '\b':
            named = "\\b";
            break;
        case '\f':
            named = "\\f";
            break;
        case '\n':
            named = "\\n";
            break;
        case '\r':
            named = "\\r";
            break;
        case '\t':
            named = "\\t";
            break;
        case '\v':
            named = "\\v";
            break;
        case '"':
            named = "\\\"";
            break;
        case '\\':
            named = "\\\\";
            break;
        default:
            break;
        }
        if (named) {
            flush();
            out += named;
        } else if (c <= 0x1F || (c >= 0x7F && !utf8)) {
            flush();
            out += "\\x" + QByteArray::number(c, 16);
            escapeNextIfHex = true;
        } else {
            plain += qc;
        }
    }
    flush();
    return out;
}

bool needsQuotes(const QString& text, const QByteArray& escaped) {
    for (const QChar c : text)
        if (c == QLatin1Char(';') || c == QLatin1Char(',') || c == QLatin1Char('='))
            return true;
    return !escaped.isEmpty() && (escaped.front() == ' ' || escaped.back() == ' ');
}

// What the toolkit writes after "Key=" for this text.
QByteArray encodeValue(const QString& value) {
    const QString text = marked(value);
    const QByteArray escaped = escapeText(text, true);
    return needsQuotes(text, escaped) ? '"' + escaped + '"' : escaped;
}

// The escapes undone the way the toolkit undoes them; whether they were the toolkit's own is
// for the caller to check.
QString unescapeText(QByteArrayView body) {
    QString out;
    QByteArray plain;
    const auto flush = [&] {
        out += QString::fromUtf8(plain);
        plain.clear();
    };
    qsizetype i = 0;
    while (i < body.size()) {
        const char c = body[i++];
        if (c != '\\') {
            plain += c;
            continue;
        }
        flush();
        if (i >= body.size())
            break;
        const char e = body[i++];
        switch (e) {
        case 'a':
            out += QLatin1Char('\a');
            break;
        case 'b':
            out += QLatin1Char('\b');
            break;
        case 'f':
            out += QLatin1Char('\f');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'v':
            out += QLatin1Char('\v');
            break;
        case '"':
        case '?':
        case '\'':
        case '\\':
            out += QLatin1Char(e);
            break;
        case 'x': {
            char16_t code = 0;
            bool any = false;
            while (i < body.size() && hexValue(body[i]) >= 0) {
                code = char16_t((code << 4) + hexValue(body[i++]));
                any = true;
            }
            if (any)
                out += QChar(code);
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                char16_t code = char16_t(e - '0');
                while (i < body.size() && body[i] >= '0' && body[i] <= '7')
                    code = char16_t((code << 3) + (body[i++] - '0'));
                out += QChar(code);
            }
            // Any other escaped character is dropped.
            break;
        }
    }
    flush();
    return out;
}

// The text a value stands for when it is exactly one of the forms the toolkit writes (in
// quotes also where none are needed); nothing when it is not.
std::optional<QString> decodeValue(QByteArrayView value) {
    const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    const QByteArrayView body = quoted ? value.sliced(1, value.size() - 2) : value;
    const QString unescaped = unescapeText(body);
    QString text = unescaped;
    if (unescaped.startsWith(QLatin1String("@@")))
        text = unescaped.mid(1);
    else if (unescaped.startsWith(QLatin1String("@String(")) &&
             unescaped.endsWith(QLatin1Char(')')))
        text = unescaped.mid(8).chopped(1);
    const QString form = marked(text);
    for (const bool utf8 : {true, false}) {
        const QByteArray escaped = escapeText(form, utf8);
        if (escaped == body && (quoted || !needsQuotes(form, escaped)))
            return text;
    }
    return std::nullopt;
}

bool readSettings(QIODevice& device, QSettings::SettingsMap& map) {
    QByteArray data = device.readAll();
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);

    QString section;
    qsizetype pos = 0;
    while (pos < data.size()) {
        qsizetype end = pos;
        while (end < data.size() && data[end] != '\n' && data[end] != '\r')
            ++end;
        QByteArrayView line(data.constData() + pos, end - pos);
        pos = end;
        if (pos < data.size() && data[pos] == '\r')
            ++pos;
        if (pos < data.size() && data[pos] == '\n')
            ++pos;

        while (!line.isEmpty() && (line.front() == ' ' || line.front() == '\t'))
            line = line.sliced(1);
        if (line.isEmpty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            const qsizetype close = line.indexOf(']');
            const QByteArrayView name =
                line.sliced(1, (close < 0 ? line.size() : close) - 1).trimmed();
            if (name.compare("general", Qt::CaseInsensitive) == 0)
                section.clear();
            else if (name.compare("%general", Qt::CaseInsensitive) == 0)
                section = QString::fromLatin1(name.sliced(1)) + QLatin1Char('/');
            else
                section = unescapeKey(name) + QLatin1Char('/');
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QString key = unescapeKey(line.first(equals).trimmed());
        if (key.isEmpty())
            continue;
        const QByteArrayView value = line.sliced(equals + 1);
        map.insert(section + key, decodeValue(value).value_or(QString::fromUtf8(value)));
    }
    return true;
}

// The store holds text only; the layout is the toolkit's: [General] for keys outside a
// section, sections apart by an empty line.
bool writeSettings(QIODevice& device, const QSettings::SettingsMap& map) {
    QMap<QString, QList<std::pair<QString, QString>>> sections;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const qsizetype slash = it.key().indexOf(QLatin1Char('/'));
        const QString section = slash < 0 ? QString() : it.key().left(slash);
        const QString key = slash < 0 ? it.key() : it.key().mid(slash + 1);
        sections[section].append({key, it.value().toString()});
    }
    QByteArray out;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        if (it != sections.cbegin())
            out += '\n';
        if (it.key().isEmpty())
            out += "[General]";
        else if (it.key().compare(QLatin1String("general"), Qt::CaseInsensitive) == 0)
            out += "[%General]";
        else
            out += '[' + escapeKey(it.key()) + ']';
        out += '\n';
        for (const auto& [key, value] : it.value())
            out += escapeKey(key) + '=' + encodeValue(value) + '\n';
    }
    return device.write(out) == out.size();
}

// The file the program writes for these values.
QByteArray writtenAnew(const QSettings::SettingsMap& map) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    writeSettings(buffer, map);
    return bytes;
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
#if !defined(Q_OS_WIN)
    if (!m_stored) {
        m_stored.emplace();
        QFile file(m_fileName);
        if (QFileInfo(m_fileName).isFile() && file.open(QIODevice::ReadOnly)) {
            m_storedBytes = file.readAll();
            QBuffer buffer(&m_storedBytes);
            buffer.open(QIODevice::ReadOnly);
            readSettings(buffer, *m_stored);
        }
    }
    const auto stored = m_stored->constFind(path);
    if (!m_changed && stored != m_stored->cend() && stored->toString() == value) {
        m_unchanged.append({path, value});
        return;
    }
    m_changed = true;
#endif
    m_settings->setValue(path, value);
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
    // Values already stored are written again when that changes the file: when another value
    // changed, or the file was written by hand and older builds are to read it as this one does.
    if (m_changed || (!m_unchanged.isEmpty() && writtenAnew(*m_stored) != m_storedBytes)) {
        for (const auto& [key, value] : std::as_const(m_unchanged))
            m_settings->setValue(key, value);
    }
    m_unchanged.clear();
    m_stored.reset();
    m_changed = false;
#endif
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

QString SettingsStore::FileName() const {
    return QDir::toNativeSeparators(m_fileName);
}

} // namespace platform
