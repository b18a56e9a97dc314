// The table of the settings store's keys, against the example settings file the package ships
// and against keys that stand where the program does not read them.
#include "IniCodec.h"
#include "SettingsTable.h"

#include <QFile>
#include <QtTest>

using platform::Setting;

class SettingsTableTest : public QObject {
    Q_OBJECT

private slots:
    void exampleFileHasEveryKeyInItsSection();
    void misplacedKeys_data();
    void misplacedKeys();
};

// The example is where a user without a window starts from: it shows every key the program
// reads, in its section, and no key the program would pass over.
void SettingsTableTest::exampleFileHasEveryKeyInItsSection() {
    QFile file(qEnvironmentVariable("VANTRELL_EXAMPLES") + QStringLiteral("/TallyhostUpdater.ini"));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const platform::ini::Values example = platform::ini::Read(file.readAll());

    QStringList table;
    for (const Setting& s : platform::AllSettings())
        table << s.Section() + QLatin1Char('/') + s.Key();
    QStringList missing;
    for (const QString& path : std::as_const(table))
        if (!example.contains(path))
            missing << path;
    QStringList unknown;
    for (auto it = example.cbegin(); it != example.cend(); ++it)
        if (!table.contains(it.key()))
            unknown << it.key();
    QVERIFY2(missing.isEmpty(), qPrintable("missing: " + missing.join(QStringLiteral(", "))));
    QVERIFY2(unknown.isEmpty(), qPrintable("unknown: " + unknown.join(QStringLiteral(", "))));
}

void SettingsTableTest::misplacedKeys_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("meant"); // "Section/Key"; empty for none

    QTest::newRow("in its place") << "FTP"
                                  << "FTPSite"
                                  << "";
    QTest::newRow("in its place, another section's key") << "Address"
                                                         << "NoticeOnChange"
                                                         << "";
    QTest::newRow("under another section") << "FTP"
                                           << "UploadDir"
                                           << "HTML/UploadDir";
    QTest::newRow("spelled in other cases") << "HTML"
                                            << "uploaddir"
                                            << "HTML/UploadDir";
    QTest::newRow("section spelled in other cases") << "ftp"
                                                    << "FTPSite"
                                                    << "FTP/FTPSite";
    QTest::newRow("both spelled in other cases") << "address"
                                                 << "SOURCE"
                                                 << "Address/Source";
    QTest::newRow("outside every section") << ""
                                           << "ftpsite"
                                           << "FTP/FTPSite";
    QTest::newRow("the IPv6 marker beside the address settings") << "Address"
                                                                 << "IPv6Marker"
                                                                 << "HTML/IPv6Marker";
    QTest::newRow("a key the program does not know") << "FTP"
                                                     << "Colour"
                                                     << "";
    QTest::newRow("a section the program does not know") << "Notes"
                                                         << "Why"
                                                         << "";
    QTest::newRow("a key with more to its name") << "FTP"
                                                 << "FTPSite2"
                                                 << "";
}

void SettingsTableTest::misplacedKeys() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, meant);
    const Setting* found = platform::MisplacedSetting(section, key);
    QCOMPARE(found ? found->Section() + QLatin1Char('/') + found->Key() : QString(), meant);
    if (found)
        QCOMPARE(&platform::SettingOf(found->id), found);
}

QTEST_GUILESS_MAIN(SettingsTableTest)
#include "tst_settingstable.moc"
