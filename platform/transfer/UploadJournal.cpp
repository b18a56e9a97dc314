#include "UploadJournal.h"

#include "StateFolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    QFile file(m_path);
    // Only ever a few short lines of ours: anything else is no record.
    if (!QFileInfo(file).isFile() || QFileInfo(file).size() > 64 * 1024 ||
        !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

bool UploadJournal::setTags(const QStringList& tags) const {
    // Beside the record of what was published: the tags' file names tell which server and page
    // were uploaded to.
    if (!platform::MakeStateFolder() || !QDir().mkpath(Folder()))
        return false;
    // Not waited for on the disk: a record lost with the machine only means that its leftovers wait
    // for a run that lists the folder anyway.
    QFile file(m_path);
    QByteArray text;
    for (const QString& tag : tags)
        text += tag.toUtf8() + '\n';
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

} // namespace platform::inet
