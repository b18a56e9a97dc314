#include "IniCodec.h"

#include <QHash>
#include <QList>

#include <optional>
#include <utility>

namespace platform::ini {

namespace {

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

// One line of the file that means something: a section header, or a key and its value.
struct SettingsLine {
    bool header = false;
    QString section; // the one the line opens or stands in; empty outside every section
    QString key;
    qsizetype start = 0;      // where the line begins
    qsizetype valueStart = 0; // just after the "=" of a key
    qsizetype end = 0;        // where its line break begins
    qsizetype next = 0;       // where the next line begins
};

// Every meaningful line of the file in order; comments, blank lines and lines without "=" are
// skipped, as the program skips them when reading.
QList<SettingsLine> scanSettings(QByteArrayView data) {
    QList<SettingsLine> lines;
    QString section;
    qsizetype pos = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (pos < data.size()) {
        SettingsLine line;
        line.start = pos;
        qsizetype end = pos;
        while (end < data.size() && data[end] != '\n' && data[end] != '\r')
            ++end;
        line.end = end;
        pos = end;
        if (pos < data.size() && data[pos] == '\r')
            ++pos;
        if (pos < data.size() && data[pos] == '\n')
            ++pos;
        line.next = pos;

        qsizetype first = line.start;
        while (first < end && (data[first] == ' ' || data[first] == '\t'))
            ++first;
        const QByteArrayView text(data.constData() + first, end - first);
        if (text.isEmpty() || text.front() == ';')
            continue;
        if (text.front() == '[') {
            const qsizetype close = text.indexOf(']');
            const QByteArrayView name =
                text.sliced(1, (close < 0 ? text.size() : close) - 1).trimmed();
            if (name.compare("general", Qt::CaseInsensitive) == 0)
                section.clear();
            else if (name.compare("%general", Qt::CaseInsensitive) == 0)
                section = QString::fromLatin1(name.sliced(1));
            else
                section = unescapeKey(name);
            line.header = true;
            line.section = section;
            lines.append(line);
            continue;
        }
        const qsizetype equals = text.indexOf('=');
        if (equals < 0)
            continue;
        line.key = unescapeKey(text.first(equals).trimmed());
        if (line.key.isEmpty())
            continue;
        line.section = section;
        line.valueStart = first + equals + 1;
        lines.append(line);
    }
    return lines;
}

QString pathOf(const QString& section, const QString& key) {
    return section.isEmpty() ? key : section + QLatin1Char('/') + key;
}

QByteArray sectionHeader(const QString& section) {
    if (section.isEmpty())
        return "[General]";
    if (section.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0)
        return "[%General]";
    return '[' + escapeKey(section) + ']';
}

// Where the file's sections end and its keys stand.
struct Layout {
    // Where the last key of each section ends, or its first header when it has no key.
    QMap<QString, qsizetype> sectionEnd;
    // Where each key stands for the last time: that line is the one read, and the one changed.
    QHash<QString, qsizetype> lastLine;
};

Layout layoutOf(const QList<SettingsLine>& lines) {
    Layout layout;
    for (const SettingsLine& line : lines) {
        if (line.header) {
            if (!layout.sectionEnd.contains(line.section))
                layout.sectionEnd.insert(line.section, line.next);
            continue;
        }
        layout.sectionEnd.insert(line.section, line.next);
        layout.lastLine.insert(pathOf(line.section, line.key), line.start);
    }
    return layout;
}

// The lines of the keys the file lacks.
struct Additions {
    QMap<QString, QByteArray> lines; // by section, in the order of the keys
    QList<QString> newSections;      // the sections the file lacks, in the order met
};

Additions additionsTo(const Layout& layout, const Values& values, const QByteArray& lineBreak) {
    Additions added;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (layout.lastLine.contains(it.key()))
            continue;
        const qsizetype slash = it.key().indexOf(QLatin1Char('/'));
        const QString section = slash < 0 ? QString() : it.key().left(slash);
        const QString key = slash < 0 ? it.key() : it.key().mid(slash + 1);
        if (!layout.sectionEnd.contains(section) && !added.lines.contains(section))
            added.newSections.append(section);
        added.lines[section] += escapeKey(key) + '=' + encodeValue(it.value()) + lineBreak;
    }
    return added;
}

} // namespace

Values Read(QByteArrayView text) {
    Values values;
    for (const SettingsLine& line : scanSettings(text))
        if (!line.header)
            values.insert(pathOf(line.section, line.key),
                          DecodeValue(text.sliced(line.valueStart, line.end - line.valueStart)));
    return values;
}

QByteArray Edited(const QByteArray& data, const Values& values) {
    const QList<SettingsLine> lines = scanSettings(data);
    const QByteArray lineBreak = data.contains("\r\n") ? "\r\n" : "\n";
    const Layout layout = layoutOf(lines);
    const Additions added = additionsTo(layout, values, lineBreak);

    QByteArray out;
    qsizetype copied = 0;
    const auto copyTo = [&](qsizetype pos) {
        out += QByteArrayView(data).sliced(copied, pos - copied);
        copied = pos;
    };
    // What goes in at the end of a section; a last line without a break gets one first.
    const auto addAt = [&](qsizetype pos, const QByteArray& keys) {
        copyTo(pos);
        if (!out.isEmpty() && !out.endsWith('\n') && !out.endsWith('\r'))
            out += lineBreak;
        out += keys;
    };
    QMap<qsizetype, QString> insertions;
    for (auto it = added.lines.cbegin(); it != added.lines.cend(); ++it)
        if (layout.sectionEnd.contains(it.key()))
            insertions.insert(layout.sectionEnd.value(it.key()), it.key());

    for (const SettingsLine& line : lines) {
        while (!insertions.isEmpty() && insertions.firstKey() <= line.start) {
            addAt(insertions.firstKey(), added.lines.value(insertions.first()));
            insertions.erase(insertions.cbegin());
        }
        if (line.header)
            continue;
        const QString path = pathOf(line.section, line.key);
        const auto value = values.constFind(path);
        if (value == values.cend()) {
            copyTo(line.start);
            copied = line.next;
            continue;
        }
        if (layout.lastLine.value(path) != line.start)
            continue;
        const QByteArrayView written =
            QByteArrayView(data).sliced(line.valueStart, line.end - line.valueStart);
        if (DecodeValue(written) == *value)
            continue;
        copyTo(line.valueStart);
        out += encodeValue(*value);
        copied = line.end;
    }
    for (auto it = insertions.cbegin(); it != insertions.cend(); ++it)
        addAt(it.key(), added.lines.value(it.value()));
    copyTo(data.size());

    for (const QString& section : std::as_const(added.newSections)) {
        if (!out.isEmpty() && !out.endsWith('\n') && !out.endsWith('\r'))
            out += lineBreak;
        if (!out.isEmpty() && out != "\xEF\xBB\xBF")
            out += lineBreak;
        out += sectionHeader(section) + lineBreak + added.lines.value(section);
    }
    return out;
}

QString DecodeValue(QByteArrayView written) {
    return decodeValue(written).value_or(QString::fromUtf8(written));
}

QByteArray EncodeValue(const QString& value) {
    return encodeValue(value);
}

} // namespace platform::ini
