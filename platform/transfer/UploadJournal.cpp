#include "UploadJournal.h"

#include "StateFolder.h"
#include "UserFile.h"

#include <QCryptographicHash>
#include <QDir>

namespace platform::inet {

UploadJournal::UploadJournal(const QString& server, const QString& page) {
    const QByteArray key = (server + u'\n' + page).toUtf8();
    m_path = Folder() + u'/' +
             QString::fromLatin1(
                 QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(32));
}

QString UploadJournal::Folder() {
    return platform::StateFolder() + QStringLiteral("/uploads");
}

std::optional<QStringList> UploadJournal::tags() const {
    // Only ever a few short lines of ours: anything else is no record.
    const std::optional<QByteArray> text = ReadOrdinaryFile(m_path, 64 * 1024, Links::Refuse);
    if (!text)
        return std::nullopt;
    return QString::fromUtf8(*text).split(u'\n', Qt::SkipEmptyParts);
}

bool UploadJournal::setTags(const QStringList& tags) const {
    // Beside the record of what was published: the tags' file names tell which server and page
    // were uploaded to.
    if (!platform::MakeStateFolder() || !QDir().mkpath(Folder()))
        return false;
    // Not waited for on the disk: a record lost with the machine only means that its leftovers wait
    // for a run that lists the folder anyway.
    QByteArray text;
    for (const QString& tag : tags)
        text += tag.toUtf8() + '\n';
    return WriteFileWhole(m_path, text);
}

} // namespace platform::inet
