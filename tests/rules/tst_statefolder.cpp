// The folder where the program keeps what it remembers between runs: where the environment puts
// it, and that it is made for the user alone.

#include "StateFolder.h"
#include "TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class StateFolderTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    void folderFollowsTheEnvironment_data();
    void folderFollowsTheEnvironment();
    void folderIsMadeForTheUserAlone_data();
    void folderIsMadeForTheUserAlone();
};

void StateFolderTest::init() {
#if defined(Q_OS_WIN)
    QSKIP("Windows keeps the state under the user's local application data");
#endif
}

void StateFolderTest::folderFollowsTheEnvironment_data() {
    QTest::addColumn<bool>("stateHomeSet");
    QTest::addColumn<QString>("stateHome");
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("folder");
    QTest::newRow("XDG_STATE_HOME set") << true << "/srv/state"
                                        << "/home/alex"
                                        << "/srv/state/vantrell";
    QTest::newRow("XDG_STATE_HOME unset") << false << QString() << "/home/alex"
                                          << "/home/alex/.local/state/vantrell";
    QTest::newRow("XDG_STATE_HOME empty") << true << QString() << "/home/alex"
                                          << "/home/alex/.local/state/vantrell";
    QTest::newRow("XDG_STATE_HOME relative") << true << "state"
                                             << "/home/alex"
                                             << "/home/alex/.local/state/vantrell";
    QTest::newRow("XDG_STATE_HOME relative to here") << true << "./state"
                                                     << "/home/alex"
                                                     << "/home/alex/.local/state/vantrell";
    QTest::newRow("another HOME") << false << QString() << "/var/lib/kiosk"
                                  << "/var/lib/kiosk/.local/state/vantrell";
}

void StateFolderTest::folderFollowsTheEnvironment() {
    QFETCH(bool, stateHomeSet);
    QFETCH(QString, stateHome);
    QFETCH(QString, home);
    QFETCH(QString, folder);
    if (stateHomeSet)
        qputenv("XDG_STATE_HOME", QFile::encodeName(stateHome));
    else
        qunsetenv("XDG_STATE_HOME");
    qputenv("HOME", QFile::encodeName(home));
    QCOMPARE(platform::StateFolder(), folder);
}

void StateFolderTest::folderIsMadeForTheUserAlone_data() {
    QTest::addColumn<QString>("before"); // what stands where the folder goes
    QTest::addColumn<bool>("made");
    QTest::newRow("nothing, nor the folders above") << "nothing" << true;
    QTest::newRow("a folder open to others") << "open folder" << true;
    QTest::newRow("a file in its place") << "file" << false;
}

void StateFolderTest::folderIsMadeForTheUserAlone() {
    QFETCH(QString, before);
    QFETCH(bool, made);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    qputenv("XDG_STATE_HOME", QFile::encodeName(temp.filePath("a/b")));
    const QString folder = temp.filePath("a/b/vantrell");
    if (before == "open folder") {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(
            folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(writeFile(folder + "/published.json", "{}"));
    } else if (before == "file") {
        QVERIFY(QDir().mkpath(temp.filePath("a/b")));
        QVERIFY(writeFile(folder, "kept"));
    }

    QString error;
    QCOMPARE(platform::MakeStateFolder(&error), made);
    if (!made) {
        QCOMPARE(error, "cannot make the folder " + folder);
        QCOMPARE(readFile(folder), QByteArray("kept"));
        return;
    }
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(folder).constData(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode));
    QCOMPARE(st.st_mode & 07777, mode_t(0700));
    // What was kept there stays.
    if (before == "open folder")
        QCOMPARE(readFile(folder + "/published.json"), QByteArray("{}"));
}

QTEST_GUILESS_MAIN(StateFolderTest)
#include "tst_statefolder.moc"
