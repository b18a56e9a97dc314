// What the user's known_hosts file makes of the key an SSH server shows, read from its text
// alone, without a server.

#include "KnownHosts.h"

#include <QTest>

using platform::KnownHosts;

namespace {

// Keys as ssh-keygen wrote them: two machines' ed25519 keys, an ECDSA and an RSA key.
const QMap<QString, QString> Keys{
    {"{ed}", "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIHfyD1m+4nLAw3uMsJLKfF6zEc53TR5iNCv4N8cdefzg"},
    {"{other-ed}",
     "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIElxR4U+RtFZPQOScXv57BZlFPKGfGXGL5mJfuADXcG/"},
    {"{ecdsa}", "ecdsa-sha2-nistp256 "
                "AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHAyNTYAAABBBLo+ZY7cxVGisNawmEfEJMGvqaML"
                "DlEBi4feRPGn60jdGE0oRkyY2ghqNdxDE6E+GBhz8Ra+jBEqwLgzY49bl5k="},
    {"{rsa}", "ssh-rsa "
              "AAAAB3NzaC1yc2EAAAADAQABAAAAgQDsl0BkM6noEvL13z0mfR4wzZRGNxe5PKmG/BIhwp90qfUFIw11vG"
              "wHEFwcIGPfN87nR1F9YUkqAYtRy8Jc/hhtd+CtTBbHrOh+zJ0yrrCaAbMRlH7ebXhgtZ2KbgxJ/dtPId08"
              "vyZIZTQaaq7eoDUxSAn5xK3M9NRK3UYu2Bjnmw=="}};

// `ssh-keygen -H` of "server.example {ed}" and "[127.0.0.1]:2222 {ed}".
const QString HashedServer = "|1|+6UqPMwHjjI8bdhrLRriY77H9b4=|RgxFkuPl3utEmJxLoDsGaY/DlCU=";
const QString HashedLoopback2222 = "|1|hze3rgY+gP680gjnPNeCC2KhB/Q=|Aa9uDmhg+7NLQHObvggKDo+Xe8Y=";

QByteArray keyBlob(const QString& token) {
    return QByteArray::fromBase64(Keys.value(token).section(u' ', 1).toLatin1());
}

QByteArray fileText(const QStringList& lines) {
    QString text = lines.join(u'\n') + u'\n';
    for (auto key = Keys.begin(); key != Keys.end(); ++key)
        text.replace(key.key(), key.value());
    text.replace("{b64:ed}", Keys.value("{ed}").section(u' ', 1));
    return text.toUtf8();
}

QString verdictName(KnownHosts::Verdict verdict) {
    switch (verdict) {
    case KnownHosts::Verdict::Known:
        return "known";
    case KnownHosts::Verdict::New:
        return "new";
    case KnownHosts::Verdict::Changed:
        return "changed";
    case KnownHosts::Verdict::Revoked:
        return "revoked";
    }
    return {};
}

} // namespace

class TestKnownHosts : public QObject {
    Q_OBJECT

private slots:
    // The server at host:port shows the {ed} key. "verdict" is what the upload makes of it
    // (only "known" lets the login go); "asks" the key type it asks the server for first. One
    // row for each kind of line a user's file holds, in one table (longer than a function
    // should be) so that all of them are read the same way.
    void decidesOnTheServersKey_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("asks");

        const QString ed = "ssh-ed25519";
        const QString ecdsa = "ecdsa-sha2-nistp256";
        const QString mine = "server.example {ed}";
        QTest::newRow("plain name") << QStringList{mine} << "server.example" << 22 << "known" << ed;
        QTest::newRow("name in other case")
            << QStringList{"Server.EXAMPLE {ed}"} << "SERVER.example" << 22 << "known" << ed;
        QTest::newRow("several names, address last")
            << QStringList{"alpha.example,server.example,192.0.2.7 {ed}"} << "192.0.2.7" << 22
            << "known" << ed;
        QTest::newRow("hashed") << QStringList{HashedServer + " {ed}"} << "server.example" << 22
                                << "known" << ed;
        QTest::newRow("hashed with port")
            << QStringList{HashedServer + " {other-ed}", HashedLoopback2222 + " {ed}"}
            << "127.0.0.1" << 2222 << "known" << ed;
        QTest::newRow("hashed for another host")
            << QStringList{HashedServer + " {ed}"} << "elsewhere.example" << 22 << "new"
            << "";
        QTest::newRow("hashed for another port")
            << QStringList{HashedLoopback2222 + " {ed}"} << "127.0.0.1" << 22 << "new"
            << "";
        QTest::newRow("[host]:port") << QStringList{"[server.example]:2222 {ed}"}
                                     << "server.example" << 2222 << "known" << ed;
        QTest::newRow("[host]:port, server on 22")
            << QStringList{"[server.example]:2222 {ed}"} << "server.example" << 22 << "new"
            << "";
        QTest::newRow("bare name, server on 2222")
            << QStringList{mine} << "server.example" << 2222 << "new"
            << "";
        QTest::newRow("[host]:22, server on 22")
            << QStringList{"[server.example]:22 {ed}"} << "server.example" << 22 << "new"
            << "";
        QTest::newRow("wildcards")
            << QStringList{"*.example,[127.0.0.?]:* {ed}"} << "127.0.0.1" << 2222 << "known" << ed;
        QTest::newRow("negated name")
            << QStringList{"*.example,!server.example {ed}"} << "server.example" << 22 << "new"
            << "";
        QTest::newRow("another key of the same type") << QStringList{"server.example {other-ed}"}
                                                      << "server.example" << 22 << "changed" << ed;
        // As ssh asks: a server that offers several shows the one the file knows.
        QTest::newRow("a key of another type only")
            << QStringList{"server.example {rsa}"} << "server.example" << 22 << "new"
            << "ssh-rsa";
        QTest::newRow("stale RSA first, ed25519 later")
            << QStringList{"server.example {rsa}", "server.example {ecdsa}", mine}
            << "server.example" << 22 << "known" << ed;
        QTest::newRow("ECDSA and RSA")
            << QStringList{"server.example {rsa}", "server.example {ecdsa}"} << "server.example"
            << 22 << "new" << ecdsa;
        QTest::newRow("revoked for every host")
            << QStringList{mine, "@revoked * {ed}"} << "server.example" << 22 << "revoked" << ed;
        QTest::newRow("revoked for this host, known ECDSA")
            << QStringList{"@revoked server.example {ed}", "server.example {ecdsa}"}
            << "server.example" << 22 << "revoked" << ecdsa;
        QTest::newRow("revoked for another host")
            << QStringList{"@revoked other.example {ed}", mine} << "server.example" << 22 << "known"
            << ed;
        QTest::newRow("certificate authority")
            << QStringList{"@cert-authority *.example {ed}"} << "server.example" << 22 << "new"
            << "";
        QTest::newRow("unknown marker")
            << QStringList{"@trusted server.example {ed}"} << "server.example" << 22 << "new"
            << "";
        QTest::newRow("comments, blank lines, tabs, CR LF, key comment")
            << QStringList{"# server.example {other-ed}", "", "   ", "\t# indented",
                           "server.example\t{ed} me@desk\r"}
            << "server.example" << 22 << "known" << ed;
        QTest::newRow("commented out only")
            << QStringList{"#server.example {ed}"} << "server.example" << 22 << "new"
            << "";
        QTest::newRow("malformed lines before a good one")
            << QStringList{"server.example",
                           "server.example ssh-ed25519",
                           "server.example ssh-ed25519 not*base64!",
                           "server.example ssh-ed25519 AAAAC3Nz",
                           "server.example ssh-ed25519 AAAAAA==",
                           "|1|onlysalt| {other-ed}",
                           "|1|||| {other-ed}",
                           "|1|!!|!! {other-ed}",
                           "@revoked",
                           "@revoked server.example",
                           "[server.example:2222 {other-ed}",
                           QString(9000, u'x'),
                           QStringList(900, "elsewhere.example").join(u',') + " {other-ed}",
                           QString("server.example ") + QChar(0) + " {other-ed}",
                           mine}
            << "server.example" << 22 << "known" << ed;
        QTest::newRow("key with a stray character")
            << QStringList{"server.example ssh-ed25519 "
                           "AAAAC3NzaC1lZDI1NTE5AAAAIHfyD1m+4nLAw3u*MsJLKfF6zEc53TR5iNCv4N8cdefzg"}
            << "server.example" << 22 << "new"
            << "";
        QTest::newRow("key under another type's name")
            << QStringList{"server.example ssh-rsa {b64:ed}"} << "server.example" << 22 << "new"
            << "";
        QTest::newRow("empty file") << QStringList{} << "server.example" << 22 << "new"
                                    << "";
    }

    void decidesOnTheServersKey() {
        QFETCH(QStringList, lines);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, verdict);
        QFETCH(QString, asks);

        const KnownHosts known(fileText(lines), host, port);
        QCOMPARE(verdictName(known.verdict(keyBlob("{ed}"))), verdict);
        QCOMPARE(QString(known.preferredType()), asks);
    }

    // What the program adds when the user trusts a new key, and the line that tells curl which
    // key type to ask for, are read back as ssh would read them.
    void readsBackTheLinesItWrites_data() {
        QTest::addColumn<bool>("hashed");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");

        for (const bool hashed : {false, true}) {
            const char* form = hashed ? "hashed" : "plain";
            QTest::addRow("%s, port 22", form) << hashed << "server.example" << 22;
            QTest::addRow("%s, port 2222", form) << hashed << "server.example" << 2222;
            QTest::addRow("%s, IPv6", form) << hashed << "::1" << 2222;
        }
        QTest::newRow("hashed, name in capitals") << true << "SERVER.Example" << 22;
    }

    void readsBackTheLinesItWrites() {
        QFETCH(bool, hashed);
        QFETCH(QString, host);
        QFETCH(int, port);

        const QByteArray key = keyBlob("{ed}");
        const QByteArray line = hashed ? KnownHosts::HashedLine(host, port, "ssh-ed25519", key)
                                       : KnownHosts::Line(host, port, "ssh-ed25519", key);
        QVERIFY(line.endsWith('\n'));
        QCOMPARE(line.contains(host.toUtf8()), !hashed);
        using Verdict = KnownHosts::Verdict;
        // Beside another key for the same name on another port.
        const QByteArray file = fileText({"[server.example]:2222 {other-ed}"}) + line;
        QCOMPARE(KnownHosts(file, host, port).verdict(key), Verdict::Known);
        QCOMPARE(KnownHosts(file, host.toLower(), port).verdict(key), Verdict::Known);
        QCOMPARE(KnownHosts(file, host, port == 22 ? 2200 : 22).verdict(key), Verdict::New);
        QCOMPARE(KnownHosts(file, "elsewhere.example", port).verdict(key), Verdict::New);
        // Hashed twice, the same host reads the same but never looks the same.
        if (hashed)
            QVERIFY(KnownHosts::HashedLine(host, port, "ssh-ed25519", key) != line);
    }

    // The fingerprint the user compares with the server's, as ssh-keygen -l shows it.
    void showsTheFingerprintAsSshDoes() {
        QCOMPARE(KnownHosts::FingerprintOf(keyBlob("{ed}")),
                 "SHA256:Pb7I2vLv6shf5LnuPoxnjxvzW8qSAT1Kk7fTbEQcx0o");
        QCOMPARE(KnownHosts::TypeOf(keyBlob("{ed}")), "ssh-ed25519");
    }
};

QTEST_GUILESS_MAIN(TestKnownHosts)
#include "tst_knownhosts.moc"
