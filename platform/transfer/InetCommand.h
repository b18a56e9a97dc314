#pragma once

// The text side of the FTP transfer control: reading its command lines and the names it sends,
// before anything reaches a server.

#include <QByteArray>
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
// the old page while it steps aside. `tag` is the upload's own, so that uploads from other
// runs or machines never write into each other's files. Both start with a dot, which keeps
// them out of most listings.
QString temporaryName(const QString& remoteName, const QString& tag);
QString backupName(const QString& remoteName, const QString& tag);

// The permission bits of the file `name` as a server described it, either in the facts of an
// MLST reply ("unix.mode=0644") or in a listing line of a STAT reply ("-rw-r--r-- ... name").
std::optional<int> permissionsIn(const QStringList& replyLines, const QString& name);

// CR or LF would end a command line early and start another; NUL cuts it short.
bool holdsLineBreak(const QString& text);
bool holdsControl(const QString& text);

// Text from outside (server replies, the client library's errors, names) with the password
// masked: everywhere when it is long, and where it stands as a word of its own when it is
// shorter than four characters.
QString redact(QString text, const QString& password);

} // namespace platform::inet
