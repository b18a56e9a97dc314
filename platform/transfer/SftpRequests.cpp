#include "SftpConnection.h"
#include "SftpRename.h"

#include <QUrl>

#include <algorithm>
#include <vector>

namespace platform::inet {

namespace {

// Long enough to read the page in few pieces, short enough that the pieces keep the server
// busy: the SSH library keeps many writes of one piece under way at once.
constexpr qint64 PieceSize = qint64(2) << 20;

std::optional<NameFacts> factsOf(const LIBSSH2_SFTP_ATTRIBUTES& attrs) {
    if (!(attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS))
        return std::nullopt;
    NameFacts facts;
    if (LIBSSH2_SFTP_S_ISREG(attrs.permissions)) {
        facts.kind = NameFacts::Kind::File;
        facts.mode = int(attrs.permissions & 0777);
    } else if (LIBSSH2_SFTP_S_ISDIR(attrs.permissions)) {
        facts.kind = NameFacts::Kind::Folder;
    } else {
        facts.kind = NameFacts::Kind::Other;
    }
    return facts;
}

// The words of one command as curl's quoted commands take them: a word, or a name in double
// quotes with '"' and '\' escaped.
QStringList wordsOf(const QString& command) {
    QStringList words;
    for (qsizetype i = 0; i < command.size();) {
        if (command[i] == u' ') {
            ++i;
            continue;
        }
        QString word;
        if (command[i] == u'"') {
            for (++i; i < command.size() && command[i] != u'"'; ++i) {
                if (command[i] == u'\\' && i + 1 < command.size())
                    ++i;
                word += command[i];
            }
            ++i;
        } else {
            for (; i < command.size() && command[i] != u' '; ++i)
                word += command[i];
        }
        words << word;
    }
    return words;
}

} // namespace

// Paths as the server takes them: relative ones start from the login folder.
QByteArray SftpSession::Connection::pathOf(const QByteArray& url) const {
    QByteArray path = QByteArray::fromPercentEncoding(url.mid(site.base.size()));
    if (path.startsWith("/~/"))
        path = path.mid(3);
    if (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path.isEmpty() ? QByteArrayLiteral(".") : path;
}

// As curl asks for a folder's time: found only where it is a folder, or a link to one.
void SftpSession::Connection::checkFolder(const QByteArray& path, bool folderOnly, Reply* reply) {
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    const int rc = retry([&] {
        return libssh2_sftp_stat_ex(sftp.get(), path.constData(), unsigned(path.size()),
                                    LIBSSH2_SFTP_STAT, &attrs);
    });
    if (rc != 0)
        return fail(reply, rc, QStringLiteral("Could not look at %1").arg(QString::fromUtf8(path)));
    if (folderOnly && (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) &&
        !LIBSSH2_SFTP_S_ISDIR(attrs.permissions)) {
        reply->code = CURLE_REMOTE_FILE_NOT_FOUND;
        reply->curlError = QStringLiteral("not a folder");
        return;
    }
    reply->fileTime = (attrs.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) ? qint64(attrs.mtime) : 0;
}

// Each entry on a line of its own: its name, or the line `ls -l` would show for it.
void SftpSession::Connection::list(const QByteArray& path, Request::Listing listing, Reply* reply) {
    LIBSSH2_SFTP_HANDLE* handle = retryFor<LIBSSH2_SFTP_HANDLE>([&] {
        return libssh2_sftp_open_ex(sftp.get(), path.constData(), unsigned(path.size()), 0, 0,
                                    LIBSSH2_SFTP_OPENDIR);
    });
    if (!handle)
        return fail(reply, libssh2_session_last_errno(session.get()),
                    QStringLiteral("Could not list %1").arg(QString::fromUtf8(path)));
    std::vector<char> name(4096);
    std::vector<char> entry(8192);
    for (;;) {
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        const int rc = retry([&] {
            return libssh2_sftp_readdir_ex(handle, name.data(), name.size(), entry.data(),
                                           entry.size(), &attrs);
        });
        if (rc < 0)
            return fail(reply, rc,
                        QStringLiteral("Could not list %1").arg(QString::fromUtf8(path)));
        if (rc == 0)
            break;
        reply->body += (listing == Request::Listing::Long ? QByteArray(entry.data())
                                                          : QByteArray(name.data(), rc)) +
                       '\n';
        if (reply->body.size() > MaxListing) {
            reply->tooLong = true;
            reply->code = CURLE_WRITE_ERROR;
            break;
        }
    }
    retry([&] { return libssh2_sftp_close_handle(handle); });
}

// The page under the name, confirmed by the server piece by piece.
void SftpSession::Connection::upload(const QByteArray& path, QFile& file, Reply* reply) {
    const QString what = QStringLiteral("Could not write %1").arg(QString::fromUtf8(path));
    LIBSSH2_SFTP_HANDLE* handle = retryFor<LIBSSH2_SFTP_HANDLE>([&] {
        return libssh2_sftp_open_ex(sftp.get(), path.constData(), unsigned(path.size()),
                                    LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC,
                                    LIBSSH2_SFTP_S_IRUSR | LIBSSH2_SFTP_S_IWUSR |
                                        LIBSSH2_SFTP_S_IRGRP | LIBSSH2_SFTP_S_IROTH,
                                    LIBSSH2_SFTP_OPENFILE);
    });
    if (!handle)
        return fail(reply, libssh2_session_last_errno(session.get()), what);
    sending = true;
    const bool written = write(handle, file, reply);
    sending = false;
    if (!written)
        return;
    // All of it is on the server: what follows puts it in place, however long the upload took.
    deadline.reset();
    if (const int rc = retry([&] { return libssh2_sftp_close_handle(handle); }); rc != 0)
        fail(reply, rc, what);
}

bool SftpSession::Connection::write(LIBSSH2_SFTP_HANDLE* handle, QFile& file, Reply* reply) {
    const qint64 toSend = file.size() - file.pos();
    qint64 confirmed = 0;
    if (report)
        report(toSend, 0);
    while (confirmed < toSend) {
        const QByteArray piece = file.read(PieceSize);
        if (piece.isEmpty()) {
            reply->code = CURLE_READ_ERROR;
            reply->curlError = file.errorString();
            drop();
            return false;
        }
        for (qsizetype done = 0; done < piece.size();) {
            const auto rc = retry([&] {
                return int(libssh2_sftp_write(handle, piece.constData() + done,
                                              size_t(piece.size() - done)));
            });
            if (rc < 0) {
                fail(reply, rc, QStringLiteral("Could not write"));
                return false;
            }
            done += rc;
            confirmed += rc;
            if (report)
                report(toSend, confirmed);
        }
    }
    return true;
}

// One of the commands that follow a request; a failure stops those after it, unless the command
// is marked to fail unnoticed.
void SftpSession::Connection::runCommand(const QString& command, Reply* reply) {
    const bool mayFail = command.startsWith(u'*');
    const QStringList words = wordsOf(mayFail ? command.mid(1) : command);
    const QString verb = words.value(0);
    const auto pathAt = [&](int i) {
        return words.value(i).toUtf8();
    };
    int rc = LIBSSH2_ERROR_INVAL;
    if (verb == u"rename" && words.size() == 3) {
        rc = rename(pathAt(1), pathAt(2));
    } else if (verb == u"rm" && words.size() == 2) {
        const QByteArray path = pathAt(1);
        rc = retry([&] {
            return libssh2_sftp_unlink_ex(sftp.get(), path.constData(), unsigned(path.size()));
        });
    } else if (verb == u"chmod" && words.size() == 3) {
        const QByteArray path = pathAt(2);
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        attrs.flags = LIBSSH2_SFTP_ATTR_PERMISSIONS;
        attrs.permissions = words[1].toULong(nullptr, 8);
        rc = retry([&] {
            return libssh2_sftp_stat_ex(sftp.get(), path.constData(), unsigned(path.size()),
                                        LIBSSH2_SFTP_SETSTAT, &attrs);
        });
    }
    if (rc == 0)
        return;
    const bool refused = rc == LIBSSH2_ERROR_SFTP_PROTOCOL || rc == LIBSSH2_ERROR_INVAL;
    if (refused && mayFail)
        return;
    if (rc == LIBSSH2_ERROR_INVAL) {
        reply->code = CURLE_QUOTE_ERROR;
        reply->curlError = QStringLiteral("Unknown command: %1").arg(command);
        return;
    }
    fail(reply, rc, verb);
    if (refused)
        reply->code = CURLE_QUOTE_ERROR;
}

// Onto a name in use in one step where the server offers it; else SFTP's own rename, which a
// server of version 3 refuses onto a name in use. The flags ask for what version 5 servers do.
int SftpSession::Connection::rename(const QByteArray& from, const QByteArray& to) {
    if (posixRenames != false) {
        const std::optional<quint32> status = posixRename(from, to);
        if (!status)
            return stop == Stop::None ? LIBSSH2_ERROR_SOCKET_RECV : LIBSSH2_ERROR_EAGAIN;
        posixRenames = *status != posixrename::Unsupported;
        if (*status == posixrename::Ok)
            return 0;
        if (*posixRenames) {
            rawStatus = *status;
            return LIBSSH2_ERROR_SFTP_PROTOCOL;
        }
    }
    return retry([&] {
        return libssh2_sftp_rename_ex(sftp.get(), from.constData(), unsigned(from.size()),
                                      to.constData(), unsigned(to.size()),
                                      LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC |
                                          LIBSSH2_SFTP_RENAME_NATIVE);
    });
}

// posix-rename@openssh.com, written and read on the SFTP channel itself. Sound only while the
// library has no request of its own under way: it reads a packet at a time, exactly, so nothing
// of this reply can sit in its buffers, and neither can anything of its own be read here (a late
// reply to a request it gave up is skipped). The status; nothing when the connection failed.
std::optional<quint32> SftpSession::Connection::posixRename(const QByteArray& from,
                                                            const QByteArray& to) {
    LIBSSH2_CHANNEL* channel = libssh2_sftp_get_channel(sftp.get());
    const quint32 id = nextId++;
    if (!channel || !sendRaw(channel, posixrename::Packet(id, from, to)))
        return std::nullopt;
    return readStatus(channel, id);
}

bool SftpSession::Connection::sendRaw(LIBSSH2_CHANNEL* channel, const QByteArray& packet) {
    for (qsizetype sent = 0; sent < packet.size();) {
        const auto rc = retry([&] {
            return int(libssh2_channel_write(channel, packet.constData() + sent,
                                             size_t(packet.size() - sent)));
        });
        if (rc < 0)
            return false;
        sent += rc;
    }
    return true;
}

std::optional<quint32> SftpSession::Connection::readStatus(LIBSSH2_CHANNEL* channel, quint32 id) {
    QByteArray got;
    for (;;) {
        const posixrename::Reading reading = posixrename::Read(got, id);
        switch (reading.kind) {
        case posixrename::Reading::Kind::Status:
            return reading.status;
        case posixrename::Reading::Kind::Other:
            got.remove(0, reading.length);
            continue;
        case posixrename::Reading::Kind::Malformed:
            return std::nullopt;
        case posixrename::Reading::Kind::Partial:
            break;
        }
        QByteArray more(reading.needed, Qt::Uninitialized);
        const auto rc = retry(
            [&] { return int(libssh2_channel_read(channel, more.data(), size_t(more.size()))); });
        if (rc <= 0 && (rc < 0 || libssh2_channel_eof(channel)))
            return std::nullopt;
        got += more.left(rc);
    }
}

Reply SftpSession::exchange(const Request& request, const SftpLimits& limits) {
    Reply reply;
    d->begin(limits);
    if (!d->open(&reply))
        return reply;
    const QByteArray path = d->pathOf(request.url);
    if (request.fileTime)
        d->checkFolder(path, request.url.endsWith('/'), &reply);
    else if (request.listing != Request::Listing::None)
        d->list(path, request.listing, &reply);
    else if (request.upload)
        d->upload(path, *request.upload, &reply);
    for (const QString& command : request.postQuote) {
        if (reply.code != CURLE_OK)
            break;
        d->runCommand(command, &reply);
    }
    return reply;
}

std::optional<NameFacts> SftpSession::look(const RemotePath& dir, const QString& name,
                                           const SftpLimits& limits) {
    Reply reply;
    d->begin(limits);
    if (!d->open(&reply))
        return std::nullopt;
    QString display = dir.display();
    if (!display.isEmpty() && !display.endsWith(u'/'))
        display += u'/';
    const QByteArray path = (display + name).toUtf8();
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    const int rc = d->retry([&] {
        return libssh2_sftp_stat_ex(d->sftp.get(), path.constData(), unsigned(path.size()),
                                    LIBSSH2_SFTP_STAT, &attrs);
    });
    if (rc == 0)
        return factsOf(attrs);
    if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL) {
        const unsigned long status = libssh2_sftp_last_error(d->sftp.get());
        if (status == LIBSSH2_FX_NO_SUCH_FILE || status == LIBSSH2_FX_NO_SUCH_PATH)
            return NameFacts{};
        return std::nullopt;
    }
    d->fail(&reply, rc, {});
    return std::nullopt;
}

SftpSession::Cut SftpSession::lastCut() const {
    return d->cut;
}

TrustProblem SftpSession::trustProblem() const {
    return d->trust;
}

QString SftpSession::connectProblem() const {
    return d->greeting.problem();
}

QString SftpSession::refusal() const {
    return d->refusal;
}

bool SftpSession::renamesOntoTakenNames() const {
    return d->posixRenames != false;
}

const QString& SftpSession::knownHostsFile() const {
    return d->knownHostsFile;
}

} // namespace platform::inet
