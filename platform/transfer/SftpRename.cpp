#include "SftpRename.h"

#include <QtEndian>

namespace platform::inet::posixrename {

namespace {

constexpr quint8 Extended = 200;    // SSH_FXP_EXTENDED
constexpr quint8 StatusReply = 101; // SSH_FXP_STATUS
// No status reply comes near this; a length beyond it is not a reply at all.
constexpr quint32 LongestReply = 256 * 1024;

void appendNumber(QByteArray& out, quint32 n) {
    const quint32 big = qToBigEndian(n);
    out.append(reinterpret_cast<const char*>(&big), 4);
}

void appendString(QByteArray& out, QByteArrayView s) {
    appendNumber(out, quint32(s.size()));
    out.append(s);
}

quint32 numberAt(QByteArrayView bytes, qsizetype at) {
    return qFromBigEndian<quint32>(bytes.data() + at);
}

} // namespace

QByteArray Packet(quint32 id, const QByteArray& from, const QByteArray& to) {
    QByteArray body;
    body.append(char(Extended));
    appendNumber(body, id);
    appendString(body, "posix-rename@openssh.com");
    appendString(body, from);
    appendString(body, to);
    QByteArray packet;
    appendNumber(packet, quint32(body.size()));
    return packet + body;
}

Reading Read(QByteArrayView bytes, quint32 id) {
    if (bytes.size() < 4)
        return {Reading::Kind::Partial, 0, 4 - bytes.size(), 0};
    const quint32 length = numberAt(bytes, 0);
    // type and id at least
    if (length < 5 || length > LongestReply)
        return {Reading::Kind::Malformed, 0, 0, 0};
    const qsizetype whole = 4 + qsizetype(length);
    if (bytes.size() < whole)
        return {Reading::Kind::Partial, 0, whole - bytes.size(), 0};
    if (quint8(bytes[4]) != StatusReply || numberAt(bytes, 5) != id)
        return {Reading::Kind::Other, 0, 0, whole};
    if (length < 9)
        return {Reading::Kind::Malformed, 0, 0, whole};
    return {Reading::Kind::Status, numberAt(bytes, 9), 0, whole};
}

} // namespace platform::inet::posixrename
