#include "PublishState.h"

#include "StateFolder.h"
#include "UserFile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#if defined(Q_OS_WIN)
#include <QSettings>
#endif

namespace platform {

namespace {

const QString Address = QStringLiteral("address");
const QString Template = QStringLiteral("template");
const QString Marker = QStringLiteral("marker");
const QString Marker6 = QStringLiteral("marker6");
const QString Address6 = QStringLiteral("address6");
const QString Why6 = QStringLiteral("why6");
const QString Site = QStringLiteral("site");
const QString UserName = QStringLiteral("user");
const QString Directory = QStringLiteral("directory");
const QString UploadFileName = QStringLiteral("file");
const QString Login = QStringLiteral("login");
const QString Time = QStringLiteral("published");
const QString PageHash = QStringLiteral("page");
const QString PageSize = QStringLiteral("size");

QJsonObject toJson(const Publication& p) {
    QJsonObject o{
        {Address, p.address},
        {Template, QString::fromLatin1(p.templateHash)},
        {Marker, p.marker},
        {Marker6, p.marker6},
        {Address6, p.address6},
        {Why6, p.why6},
        {Site, p.site},
        {UserName, p.userName},
        {Directory, p.directory},
        {UploadFileName, p.uploadFileName},
        {Login, QString::fromLatin1(p.loginDigest)},
        {Time, p.time.toUTC().toString(Qt::ISODate)},
    };
    if (!p.pageHash.isEmpty()) {
        o.insert(PageHash, QString::fromLatin1(p.pageHash));
        o.insert(PageSize, double(p.pageSize));
    }
    return o;
}

Publication fromJson(const QJsonObject& o) {
    Publication p;
    p.address = o.value(Address).toString();
    p.templateHash = o.value(Template).toString().toLatin1();
    p.marker = o.value(Marker).toString();
    p.marker6 = o.value(Marker6).toString();
    p.address6 = o.value(Address6).toString();
    p.why6 = o.value(Why6).toString();
    p.site = o.value(Site).toString();
    p.userName = o.value(UserName).toString();
    p.directory = o.value(Directory).toString();
    p.uploadFileName = o.value(UploadFileName).toString();
    p.loginDigest = o.value(Login).toString().toLatin1();
    p.time = QDateTime::fromString(o.value(Time).toString(), Qt::ISODate);
    p.pageHash = o.value(PageHash).toString().toLatin1();
    p.pageSize = qint64(o.value(PageSize).toDouble());
    return p;
}

#if defined(Q_OS_WIN)
QSettings windowsStore() {
    return QSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program "
                                    "Settings\\TallyhostUpdater\\Published"),
                     QSettings::NativeFormat);
}
#endif

} // namespace

bool Publication::SamePageAs(const Publication& other) const {
    return !templateHash.isEmpty() && templateHash == other.templateHash &&
           address == other.address && marker == other.marker && marker6 == other.marker6 &&
           address6 == other.address6 && site == other.site && userName == other.userName &&
           directory == other.directory && uploadFileName == other.uploadFileName &&
           loginDigest == other.loginDigest;
}

QByteArray LoginDigest(const QString& password, const QByteArray& likeThis) {
    QByteArray salt = likeThis.left(likeThis.indexOf(':'));
    if (likeThis.indexOf(':') <= 0) {
        quint32 random[4];
        QRandomGenerator::system()->fillRange(random);
        salt = QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex();
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(salt);
    hash.addData(password.toUtf8());
    return salt + ':' + hash.result().toHex();
}

QByteArray FileHash(const QString& path, QByteArrayView lookFor, bool* found) {
    QFile file;
    if (!OpenOrdinaryFile(file, path))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    bool seen = lookFor.isEmpty();
    // The end of each piece stays for the next one, where the text may go on.
    QByteArray tail;
    QByteArray piece(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 read = file.read(piece.data(), piece.size());
        if (read < 0)
            return {};
        if (read == 0)
            break;
        const QByteArrayView bytes(piece.constData(), read);
        hash.addData(bytes);
        if (seen)
            continue;
        tail += bytes;
        seen = tail.contains(lookFor);
        tail = tail.right(lookFor.size() - 1);
    }
    if (found)
        *found = seen && !lookFor.isEmpty();
    return hash.result().toHex();
}

#if defined(Q_OS_WIN)

QString PublicationStatePath() {
    return windowsStore().fileName();
}

std::optional<Publication> LoadPublication() {
    const QString text = windowsStore().value(QStringLiteral("State")).toString();
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isObject())
        return std::nullopt;
    return fromJson(doc.object());
}

bool SavePublication(const Publication& publication, QString* error) {
    // One value, so that it changes whole.
    QSettings store = windowsStore();
    store.setValue(
        QStringLiteral("State"),
        QString::fromUtf8(QJsonDocument(toJson(publication)).toJson(QJsonDocument::Compact)));
    store.sync();
    if (store.status() == QSettings::NoError)
        return true;
    if (error)
        *error = QStringLiteral("the registry refused the value");
    return false;
}

#else

QString PublicationStatePath() {
    return StateFolder() + QStringLiteral("/published.json");
}

std::optional<Publication> LoadPublication() {
    const std::optional<QByteArray> text =
        ReadOrdinaryFile(PublicationStatePath(), 64 * 1024, Links::Refuse);
    if (!text)
        return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(*text);
    if (!doc.isObject())
        return std::nullopt;
    return fromJson(doc.object());
}

bool SavePublication(const Publication& publication, QString* error) {
    const QString path = PublicationStatePath();
    if (!MakeStateFolder(error))
        return false;
    // Written beside the old record and renamed over it, so that a reader finds one whole
    // record or the other. Not flushed to the disk: a record lost to a crash costs one upload
    // more, while waiting for the disk after every upload took up to a tenth of a second when
    // it was busy with a large page.
    return WriteFileWhole(path, QJsonDocument(toJson(publication)).toJson(), error);
}

#endif

} // namespace platform
