#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace platform::inet {

// OpenSSH's rename that replaces what stands under the new name in one step, so that a page
// renamed onto its old self is never missing: an SFTP request the SSH library has no call for,
// sent and read here. The server answers it with a status like any other request; one that does
// not know it says so (SSH_FX_OP_UNSUPPORTED).
namespace posixrename {

inline constexpr quint32 Ok = 0;
inline constexpr quint32 Unsupported = 8;

// The whole packet, its length first: SSH_FXP_EXTENDED with the request's id, the extension's
// name and the two paths.
QByteArray Packet(quint32 id, const QByteArray& from, const QByteArray& to);

// What the bytes read so far come to. The reply is read a packet at a time, never beyond: more
// bytes may belong to what the library reads next.
struct Reading {
    enum class Kind {
        Partial, // `needed` more bytes make the packet whole
        Status,  // the status the server answered with, in `status`
        Other,   // a whole packet that answers something else, `length` bytes: skip it
        Malformed,
    };
    Kind kind = Kind::Partial;
    quint32 status = 0;
    qsizetype needed = 0;
    qsizetype length = 0;
};
Reading Read(QByteArrayView bytes, quint32 id);

} // namespace posixrename

} // namespace platform::inet
