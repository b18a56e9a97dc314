#include "InetCommand.h"

#include <QRegularExpression>
#include <QUrl>

namespace platform::inet {

bool holdsLineBreak(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(u'\0'));
}

bool holdsControl(const QString& text) {
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

namespace {

// A line of a long listing: the kind ("-" a plain file, "d" a folder, "l" a link...), the
// permissions, links, owner, (group,) size, date and the name.
const QRegularExpression& listingLine() {
    static const QRegularExpression line(QStringLiteral(
        R"(^([-dlbcps])([rwxsStT-]{9})[.+@]?\s+\d+\s+\S+(?:\s+\S+)?\s+\d+\s+\S+\s+\d+\s+[\d:]+ (.+)$)"));
    return line;
}

// Empty when the name can be sent, else the reason, naming what was wrong with it.
QString checkName(const QString& what, const QString& name) {
    if (holdsLineBreak(name))
        return QStringLiteral("The %1 holds a line break or NUL character; nothing was sent.")
            .arg(what);
    if (holdsControl(name))
        return QStringLiteral("The %1 holds a control character; nothing was sent.").arg(what);
    return {};
}

// Splits on blanks; a double-quoted stretch keeps its blanks, and "" inside quotes is a quote.
// Backslashes are left alone: they are Windows path separators here, not escapes.
std::optional<QStringList> splitArguments(QStringView text) {
    QStringList out;
    QString current;
    bool inToken = false;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == u'"') {
                current += u'"';
                ++i;
            } else {
                quoted = !quoted;
            }
            inToken = true;
        } else if (!quoted && (c == u' ' || c == u'\t')) {
            if (inToken)
                out << current;
            current.clear();
            inToken = false;
        } else {
            current += c;
            inToken = true;
        }
    }
    if (quoted)
        return std::nullopt;
    if (inToken)
        out << current;
    return out;
}

// The schemes a site may start with; a site without one is plain FTP.
Command invalid(const QString& why) {
    Command c;
    c.error = why;
    return c;
}

} // namespace

RemotePath RemotePath::parse(const QString& text) {
    RemotePath p;
    p.absolute = text.startsWith(u'/');
    for (const QString& s : text.split(u'/', Qt::SkipEmptyParts)) {
        if (s != u".")
            p.segments << s;
    }
    return p;
}

RemotePath RemotePath::joined(const RemotePath& next) const {
    if (next.absolute)
        return next;
    RemotePath p = *this;
    p.segments += next.segments;
    return p;
}

QString RemotePath::display() const {
    return (absolute ? QStringLiteral("/") : QString()) + segments.join(u'/');
}

QByteArray RemotePath::urlPath() const {
    QByteArray out = absolute ? QByteArrayLiteral("/%2F/") : QByteArrayLiteral("/");
    for (const QString& s : segments)
        out += QUrl::toPercentEncoding(s) + '/';
    return out;
}

Command parseCommand(const QString& operation) {
    const QString text = operation.trimmed();
    const qsizetype blank = text.indexOf(u' ');
    const QString verb = (blank < 0 ? text : text.left(blank)).toUpper();
    const QString rest = blank < 0 ? QString() : text.mid(blank + 1).trimmed();

    if (text.isEmpty())
        return invalid(QStringLiteral("No command was given."));

    if (verb == u"CD") {
        QString dir = rest;
        if (rest.startsWith(u'"')) {
            const auto args = splitArguments(rest);
            if (!args)
                return invalid(QStringLiteral("The directory name has an unmatched quote."));
            if (args->size() != 1)
                return invalid(QStringLiteral("CD takes one directory name."));
            dir = args->first();
        }
        if (dir.isEmpty())
            return invalid(QStringLiteral("CD needs a directory name."));
        if (QString why = checkName(QStringLiteral("directory name"), dir); !why.isEmpty())
            return invalid(why);
        Command c;
        c.kind = Command::Kind::Cd;
        c.directory = dir;
        return c;
    }

    if (verb == u"PUT") {
        const auto args = splitArguments(rest);
        if (!args)
            return invalid(QStringLiteral("The PUT command has an unmatched quote."));
        if (args->size() != 2)
            return invalid(QStringLiteral("PUT needs a local file and a remote name; names "
                                          "holding spaces go in double quotes."));
        const QString& local = args->at(0);
        const QString& remote = args->at(1);
        if (QString why = checkName(QStringLiteral("local file name"), local); !why.isEmpty())
            return invalid(why);
        if (QString why = checkName(QStringLiteral("remote file name"), remote); !why.isEmpty())
            return invalid(why);

        const qsizetype slash = remote.lastIndexOf(u'/');
        const QString base = remote.mid(slash + 1);
        if (base.isEmpty() || base == u"." || base == u"..")
            return invalid(QStringLiteral("The remote name \"%1\" names no file.").arg(remote));
        Command c;
        c.kind = Command::Kind::Put;
        c.localFile = local;
        c.putDir = slash < 0 ? RemotePath{} : RemotePath::parse(remote.left(slash + 1));
        c.remoteName = base;
        return c;
    }

    return invalid(QStringLiteral("Unknown command \"%1\".").arg(verb));
}

QString checkCredentials(const QString& user, const QString& password) {
    if (holdsLineBreak(user))
        return QStringLiteral("The user name holds a line break or NUL character; nothing was "
                              "sent.");
    if (holdsLineBreak(password))
        return QStringLiteral("The password holds a line break or NUL character; nothing was "
                              "sent.");
    return {};
}

QString uploadTag(const QDateTime& startedUtc, quint32 random) {
    return QStringLiteral("vantrell-%1-%2")
        .arg(startedUtc.toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")))
        .arg(random, 8, 16, QChar(u'0'));
}

std::optional<Leftover> leftoverIn(const QString& listingLine, const QString& remoteName) {
    const QRegularExpression pattern(
        QStringLiteral(R"((?:^|[\s/])(\.?%1\.(vantrell-(\d{8}T\d{6}Z)-[0-9a-f]{8})\.(part|old))$)")
            .arg(QRegularExpression::escape(remoteName)));
    const QRegularExpressionMatch m = pattern.match(listingLine);
    if (!m.hasMatch())
        return std::nullopt;
    static const QRegularExpression typeFact(QStringLiteral(R"((?:^|;)type=([^;]*);)"),
                                             QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch ls = platform::inet::listingLine().match(listingLine);
    const QRegularExpressionMatch fact = typeFact.match(listingLine);
    if ((ls.hasMatch() && ls.captured(1) != u"-") ||
        (fact.hasMatch() && fact.captured(1).compare(u"file", Qt::CaseInsensitive) != 0))
        return std::nullopt;
    QDateTime started =
        QDateTime::fromString(m.captured(3), QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    if (!started.isValid())
        return std::nullopt;
    started.setTimeSpec(Qt::UTC);
    return Leftover{m.captured(1), m.captured(2), started, m.captured(4) == u"old"};
}

QString temporaryName(const QString& remoteName, const QString& tag, bool visible) {
    return QStringLiteral("%1%2.%3.part").arg(visible ? "" : ".", remoteName, tag);
}

QString backupName(const QString& remoteName, const QString& tag, bool visible) {
    return QStringLiteral("%1%2.%3.old").arg(visible ? "" : ".", remoteName, tag);
}

std::optional<int> permissionsIn(const QStringList& replyLines, const QString& name) {
    // An MLST fact line: facts, each ending in ";", a blank, and the name they describe.
    static const QRegularExpression factLine(QStringLiteral(R"(^((?:[^ ;=]+=[^;]*;)+) (.+)$)"));
    static const QRegularExpression modeFact(
        QStringLiteral(R"((?:^|;)unix\.mode=(?:0o)?0*([0-7]{1,4});)"),
        QRegularExpression::CaseInsensitiveOption);
    for (const QString& line : replyLines) {
        const QRegularExpressionMatch facts = factLine.match(line);
        if (!facts.hasMatch() || facts.captured(2) != name)
            continue;
        if (const QRegularExpressionMatch m = modeFact.match(facts.captured(1)); m.hasMatch())
            return m.captured(1).toInt(nullptr, 8) & 0777;
    }
    for (const QString& line : replyLines) {
        const QRegularExpressionMatch m = listingLine().match(line);
        if (!m.hasMatch() || m.captured(1) != u"-" || m.captured(3) != name)
            continue;
        const QString bits = m.captured(2);
        int mode = 0;
        for (qsizetype i = 0; i < 9; ++i) {
            const QChar c = bits[i];
            // "s" and "t" stand for an execute bit together with a special bit; "S", "T" and
            // "-" for none.
            const bool set = i % 3 == 2 ? (c == u'x' || c == u's' || c == u't') : c != u'-';
            if (set)
                mode |= 0400 >> i;
        }
        return mode;
    }
    return std::nullopt;
}

bool listsName(const QStringList& listingLines, const QString& name) {
    for (const QString& line : listingLines) {
        const QRegularExpressionMatch m = listingLine().match(line);
        if (m.hasMatch() && m.captured(3) == name)
            return true;
    }
    return false;
}

std::optional<QChar> listedKind(const QStringList& listingLines, const QString& name) {
    for (const QString& line : listingLines) {
        const QRegularExpressionMatch m = listingLine().match(line);
        if (m.hasMatch() &&
            (m.captured(3) == name || m.captured(3).startsWith(name + QStringLiteral(" -> "))))
            return m.captured(1).front();
    }
    return std::nullopt;
}

QString redact(QString text, const QString& password) {
    static const QString mask = QStringLiteral("******");
    if (password.isEmpty())
        return text;
    if (password.size() >= 4)
        return text.replace(password, mask);
    // A short password also turns up inside ordinary words and numbers ("a", "53"), where
    // masking it would make the reason unreadable without hiding anything. Where it stands
    // apart from letters and digits, it may well be the password itself.
    const auto wordChar = [&](qsizetype i) {
        return i >= 0 && i < text.size() && text[i].isLetterOrNumber();
    };
    for (qsizetype at = text.indexOf(password); at >= 0; at = text.indexOf(password, at)) {
        if (wordChar(at - 1) || wordChar(at + password.size())) {
            ++at;
            continue;
        }
        text.replace(at, password.size(), mask);
        at += mask.size();
    }
    return text;
}

} // namespace platform::inet
