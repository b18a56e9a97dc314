#pragma once

// The text side of the FTP transfer control: reading its command lines and the names it sends,
// before anything reaches a server.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace platform::inet {

// A directory on the server, relative to the login directory or absolute.
struct RemotePath {
    bool absolute = false;
    QStringList segments;

    // "a/b", "/a/b"; empty segments and "." drop out, ".." stays for the server to resolve.
    static RemotePath parse(const QString& text);
    RemotePath joined(const RemotePath& next) const;
    QString display() const;
    // The path part of a curl FTP URL, ending in "/". Each segment is percent-encoded; an
    // absolute path starts with "%2F", which makes curl change to the root first.
    QByteArray urlPath() const;

    bool operator==(const RemotePath&) const = default;
};

struct Command {
    enum class Kind { Invalid, Cd, Put };
    Kind kind = Kind::Invalid;
    QString error;      // why an Invalid command cannot run
    QString directory;  // CD
    QString localFile;  // PUT
    RemotePath putDir;  // PUT: a directory part of the remote name, relative to the current one
    QString remoteName; // PUT: the file name itself, no slashes
};

Command parseCommand(const QString& operation);
// Empty when the user name and password can go into FTP command lines, else the reason.
QString checkCredentials(const QString& user, const QString& password);

// The names one upload uses beside the page: the new page before it is renamed into place, and
// the old page while it steps aside. The tag says when the upload started and holds a random
// part, so that uploads from other runs or machines never write into each other's files, and a
// later run can tell what a run that was cut short left behind: ".index.htm.vantrell-
// 20261207T193000Z-1a2b3c4d.part", "....old". Both start with a dot, which keeps them out of
// most listings, unless `visible` asks for names a server that refuses names starting with a
// dot takes.
QString uploadTag(const QDateTime& startedUtc, quint32 random);
QString temporaryName(const QString& remoteName, const QString& tag, bool visible = false);
QString backupName(const QString& remoteName, const QString& tag, bool visible = false);

// One of those names, found in a line of a directory listing that ends with it. Only a file
// counts: a folder or a link under such a name is nothing an upload left.
struct Leftover {
    QString name;
    QString tag;          // the upload's, as uploadTag() made it
    QDateTime started;    // UTC
    bool oldPage = false; // a moved-aside copy of the page, not a new page on its way
};
std::optional<Leftover> leftoverIn(const QString& listingLine, const QString& remoteName);

// The permission bits of the file `name` as a server described it, either in the fact line of
// an MLST reply ("unix.mode=0644;... name", also "0o644") or in the listing line of that very
// name ("-rw-r--r-- 1 owner group 8 Dec 7 10:00 name"). Lines about other names are passed
// over, so the lines given may hold anything else the server said about the command.
std::optional<int> permissionsIn(const QStringList& replyLines, const QString& name);
// Whether a listing holds a line for `name`, of whatever kind.
bool listsName(const QStringList& listingLines, const QString& name);
// The kind of what the listing line for `name` shows, as ls writes it ('-' a file, 'd' a
// folder, 'l' a link); nothing when no line is for it.
std::optional<QChar> listedKind(const QStringList& listingLines, const QString& name);

// CR or LF would end a command line early and start another; NUL cuts it short.
bool holdsLineBreak(const QString& text);
bool holdsControl(const QString& text);

// Text from outside (server replies, the client library's errors, names) with the password
// masked: everywhere when it is long, and where it stands as a word of its own when it is
// shorter than four characters.
QString redact(QString text, const QString& password);

} // namespace platform::inet
