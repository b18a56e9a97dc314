// Whatever stands under the name of a file the program reads or keeps (a pipe, a folder, a link
// to a device or to somewhere else, nothing at all), the program never waits for it, never
// writes through a link, and reads only an ordinary file.

#include "NoticeState.h"
#include "PublishHistory.h"
#include "PublishState.h"
#include "StateFolder.h"
#include "TestFiles.h"
#include "UserFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Puts a thing of the kind under the name; a link "elsewhere" leads to a file of somebody
// else's that must stay as it is.
bool place(const QString& kind, const QString& path, const QString& elsewhere) {
    const QByteArray name = QFile::encodeName(path);
    if (kind == "file")
        return writeFile(path, "old\n");
    if (kind == "pipe")
        return ::mkfifo(name.constData(), 0600) == 0;
    if (kind == "folder")
        return QDir().mkpath(path);
    if (kind == "link to /dev/zero")
        return ::symlink("/dev/zero", name.constData()) == 0;
    if (kind == "link elsewhere")
        return writeFile(elsewhere, "theirs\n") &&
               ::symlink(QFile::encodeName(elsewhere).constData(), name.constData()) == 0;
    return kind == "nothing";
}

bool isOrdinaryFile(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

class UserFileTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void everyKindIsMetWithoutWaiting_data();
    void everyKindIsMetWithoutWaiting();
};

void UserFileTest::init() {
#if defined(Q_OS_WIN)
    QSKIP("pipes, devices and links under a file's name are a matter of Unix");
#endif
}

void UserFileTest::everyKindIsMetWithoutWaiting_data() {
    QTest::addColumn<QString>("kind");
    // What reading finds, for one of the program's own files and for one of the user's: the
    // bytes, or "refused: " and part of the reason ("refused: " alone when there is no file).
    QTest::addColumn<QString>("readOwn");
    QTest::addColumn<QString>("readUsers");
    QTest::addColumn<bool>("written");  // a whole new file took the name
    QTest::addColumn<bool>("appended"); // to one of the program's own
    QTest::addColumn<bool>("locked");
    QTest::newRow("file") << "file"
                          << "old\n"
                          << "old\n"
                          << true << true << true;
    QTest::newRow("nothing") << "nothing"
                             << "refused: "
                             << "refused: " << true << true << true;
    QTest::newRow("pipe") << "pipe"
                          << "refused: it is not an ordinary file"
                          << "refused: it is not an ordinary file" << true << false << false;
    QTest::newRow("folder") << "folder"
                            << "refused: it is a folder"
                            << "refused: it is a folder" << false << false << false;
    QTest::newRow("link to /dev/zero")
        << "link to /dev/zero"
        << "refused: it is a link"
        << "refused: it is not an ordinary file" << true << false << false;
    QTest::newRow("link elsewhere") << "link elsewhere"
                                    << "refused: it is a link"
                                    << "theirs\n"
                                    << true << false << false;
}

// The helper itself, and what the program keeps in its state folder: the history and its lock,
// the record of what was published, what the desktop was told. Before, a pipe under the
// history's lock held every unattended run up for ever once it had published.
void UserFileTest::everyKindIsMetWithoutWaiting() {
    QFETCH(QString, kind);
    QFETCH(QString, readOwn);
    QFETCH(QString, readUsers);
    QFETCH(bool, written);
    QFETCH(bool, appended);
    QFETCH(bool, locked);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString elsewhere = temp.filePath("elsewhere");
    const auto read = [](const QString& path, platform::Links links) {
        QString problem;
        const std::optional<QByteArray> bytes =
            platform::ReadOrdinaryFile(path, 1024, links, &problem);
        return bytes ? QString::fromUtf8(*bytes) : "refused: " + problem;
    };
    QElapsedTimer clock;
    clock.start();

    const QString path = temp.filePath("one");
    QVERIFY(place(kind, path, elsewhere));
    QVERIFY2(read(path, platform::Links::Refuse).startsWith(readOwn),
             qPrintable(read(path, platform::Links::Refuse)));
    QVERIFY2(read(path, platform::Links::Follow).startsWith(readUsers),
             qPrintable(read(path, platform::Links::Follow)));
    {
        const platform::FileTurn turn(path, 1s);
        QCOMPARE(turn.Held(), locked);
    }
    QCOMPARE(platform::AppendToFile(path, "more\n", platform::Links::Refuse), appended);
    if (appended)
        QCOMPARE(readFile(path), QByteArray(kind == "file" ? "old\nmore\n" : "more\n"));
    QString problem;
    QCOMPARE(platform::WriteFileWhole(path, "new\n", &problem), written);
    if (written) {
        QVERIFY(isOrdinaryFile(path));
        QCOMPARE(readFile(path), QByteArray("new\n"));
        QCOMPARE(QFileInfo(path).permissions() & 0x0077, QFileDevice::Permissions());
    } else {
        QVERIFY2(problem.contains("folder"), qPrintable(problem));
    }
    QCOMPARE(QDir(temp.path()).entryList({"one.*"}, QDir::Files), QStringList());

    // The same kind under every file of the program's state.
    qputenv("XDG_STATE_HOME", QFile::encodeName(temp.filePath("state")));
    QVERIFY(platform::MakeStateFolder());
    const QString folder = platform::StateFolder();
    const QStringList names{"history.jsonl", "history.jsonl.lock", "published.json",
                            "notices.json"};
    for (const QString& name : names)
        QVERIFY(place(kind, folder + '/' + name, elsewhere));
    platform::HistoryEntry entry;
    entry.time = QDateTime::currentDateTimeUtc();
    entry.message = "kept";
    const bool historyKept = kind == "file" || kind == "nothing";
    QCOMPARE(platform::AddToHistory(entry), historyKept);
    QCOMPARE(platform::ReadHistory().size(), historyKept ? 1 : 0);
    QCOMPARE(platform::LoadPublication().has_value(), false);
    platform::NoticeState notices = platform::NoticeState::Load();
    QCOMPARE(notices.failing, false);
    notices.failing = true;
    QCOMPARE(notices.Save(), kind != "folder");
    QCOMPARE(platform::SavePublication({}), kind != "folder");
    if (kind != "folder")
        QCOMPARE(platform::NoticeState::Load().failing, true);
    if (kind == "link elsewhere")
        QCOMPARE(readFile(elsewhere), QByteArray("theirs\n"));
    QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(UserFileTest)
#include "tst_userfile.moc"
