#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace platform {

// What one upload published: enough to tell whether the next one would publish the same page.
struct Publication {
    QString address;
    QByteArray templateHash; // hex SHA-256 of the template's bytes; empty when not taken
    QString marker;
    // The IPv6 marker and its address, when the page has that marker; the address is empty
    // when none was found, and why6 says why.
    QString marker6;
    QString address6;
    QString why6;
    QString site;
    QString userName;
    QString directory;
    QString uploadFileName;
    // The password as LoginDigest keeps it, never the password itself; empty in records kept
    // before it was, which then differ from every login once.
    QByteArray loginDigest;
    QDateTime time; // when the page reached the server
    // The hex SHA-256 of the bytes uploaded and their number, where the page is looked at as
    // visitors see it; empty and 0 otherwise. Not part of what makes the same page: they
    // follow from the rest.
    QByteArray pageHash{};
    qint64 pageSize = 0;

    // The same addresses, template and settings. A publication without a template hash is
    // like no other.
    bool SamePageAs(const Publication& other) const;
};

// A password as the record keeps it: "salt:hex SHA-256 of salt and password", so that a changed
// password counts as a change without the record holding it. The salt of likeThis is taken
// when it has one, so that the same password gives the same digest; a new random one otherwise.
QByteArray LoginDigest(const QString& password, const QByteArray& likeThis = {});

// The hex SHA-256 of a file's bytes, read in pieces; empty when the file cannot be read. With
// a text to look for, found tells whether the file holds it.
QByteArray FileHash(const QString& path, QByteArrayView lookFor = {}, bool* found = nullptr);

// Where the last publication is kept: ${XDG_STATE_HOME:-~/.local/state}/vantrell/published.json
// on Linux, the program's settings in the registry on Windows.
QString PublicationStatePath();

// The last publication kept; none when nothing was kept or it cannot be read.
std::optional<Publication> LoadPublication();

// Keeps the publication in place of the last one, whole or not at all. False, with the
// reason, when it could not be kept.
bool SavePublication(const Publication& publication, QString* error = nullptr);

} // namespace platform
