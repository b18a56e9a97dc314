// The rule that decides which address Auto publishes, given what each source answered: no
// router, server or network, only the answers as tests/platform/tst_address.cpp sees the real
// sources give them.

#include "Agreement.h"

#include <QtTest>

using platform::AddressSource;
using platform::SourceAnswer;
using Sources = QList<SourceAnswer>;

namespace {

const char* const Ok = "203.0.113.50";
const char* const Other = "198.51.100.7";

// A source as AgreementSources names it, and its answer: the address, or none when nullptr,
// from the server's address where given.
SourceAnswer source(AddressSource kind, const QString& name, const QString& key,
                    const char* address, const char* server = "") {
    SourceAnswer s;
    s.query.source = kind;
    s.name = name;
    s.operatorKey = key;
    s.answer.server = QString::fromLatin1(server);
    if (address)
        s.answer.address = QString::fromLatin1(address);
    else
        s.answer.error = QStringLiteral("no answer from ") + name;
    return s;
}

SourceAnswer upnp(const char* address) {
    return source(AddressSource::Router, "the router (UPnP)", "router", address);
}

SourceAnswer natpmp(const char* address) {
    return source(AddressSource::NatPmp, "the router (NAT-PMP)", "router", address);
}

SourceAnswer thisMachine(const char* address) {
    return source(AddressSource::Local6, "this machine", "this machine", address);
}

SourceAnswer web(const char* domain, const char* address, const char* server = "") {
    return source(AddressSource::Web, QStringLiteral("https://%1").arg(domain), domain, address,
                  server);
}

SourceAnswer stun(const char* domain, const char* address, const char* server = "") {
    return source(AddressSource::Stun, QStringLiteral("STUN stun.%1:3478").arg(domain), domain,
                  address, server);
}

const QString CarrierNat = QStringLiteral(
    "The router's own public address is in 100.64.0.0/10: the provider shares one public address "
    "among many customers (carrier-grade NAT), and people outside cannot reach this machine over "
    "IPv4 whatever the page says; publishing its global IPv6 address may help.");
const QString DoubleNat = QStringLiteral(
    "The router's address is private: this network sits behind another router (double NAT).");
const QString InTheWay = QStringLiteral(
    "The router and the web services disagree: a VPN or a proxy is in the way, or carrier-grade "
    "NAT.");

} // namespace

class AgreementTest : public QObject {
    Q_OBJECT

private slots:
    void unreachableAddressesAreMarked_data();
    void unreachableAddressesAreMarked();
    void operatorsOfServers_data();
    void operatorsOfServers();
    void agree_data();
    void agree();
    void explainedOnOneLine_data();
    void explainedOnOneLine();
};

void AgreementTest::unreachableAddressesAreMarked_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("hint"); // empty: the internet can reach it
    const char* const rows[][2] = {
        {"203.0.113.7", ""},
        {"10.1.2.3", "a private address"},
        {"172.31.255.255", "a private address"},
        {"172.32.0.1", ""},
        {"192.168.1.20", "a private address"},
        {"100.64.0.1", "carrier-grade NAT"},
        {"100.127.255.255", "carrier-grade NAT"},
        {"100.128.0.1", ""},
        {"127.0.1.1", "loopback"},
        {"169.254.10.1", "link-local"},
        {"0.0.0.0", "no address"},
        {"224.0.0.251", "multicast"},
        {"240.0.0.1", "reserved"},
        {"255.255.255.255", "reserved"},
        {"2001:db8::7", ""},
        {"::1", "loopback"},
        {"fe80::1", "link-local"},
        {"fd12:3456::1", "unique local"},
        {"fc00::1", "unique local"},
        {"ff02::1", "multicast"},
        {"::ffff:192.168.1.1", "a private address"},
        {"::ffff:203.0.113.7", "IPv4 address written as IPv6"},
        {"::10.1.2.3", "a private address"},
        {"::203.0.113.7", "IPv4-compatible"},
        {"64:ff9b::10.1.2.3", "a private address"},
        {"64:ff9b::100.64.0.9", "carrier-grade NAT"},
        {"64:ff9b::203.0.113.7", "NAT64"},
        {"64:ff9b:1::a01:203", "a private address"},
        {"100::1", "reserved"},
        {"router", "not an IP address"},
    };
    for (const auto& [address, hint] : rows)
        QTest::newRow(address) << QString(address) << QString(hint);
}

void AgreementTest::unreachableAddressesAreMarked() {
    QFETCH(QString, address);
    QFETCH(QString, hint);
    const QString reason = platform::UnreachableReason(address);
    QVERIFY2(hint.isEmpty() ? reason.isEmpty() : reason.contains(hint), qPrintable(reason));
}

// Servers of one operator count as one source, whatever the host and port.
void AgreementTest::operatorsOfServers_data() {
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("operatorKey");
    QTest::newRow("host and port") << "stun.l.google.com:19302"
                                   << "google.com";
    QTest::newRow("capitals") << "STUN.Cloudflare.com:3478"
                              << "cloudflare.com";
    QTest::newRow("host alone") << "stun.example.net"
                                << "example.net";
    QTest::newRow("one label") << "localhost"
                               << "localhost";
    QTest::newRow("IPv4 and port") << "203.0.113.50:3478"
                                   << "203.0.113.50";
    QTest::newRow("IPv6 in brackets") << "[2001:db8::1]:3478"
                                      << "2001:db8::1";
    QTest::newRow("IPv6 alone") << "2001:db8::1"
                                << "2001:db8::1";
    QTest::newRow("a web service of another company's") << "icanhazip.com"
                                                        << "cloudflare.com";
}

void AgreementTest::operatorsOfServers() {
    QFETCH(QString, server);
    QFETCH(QString, operatorKey);
    QCOMPARE(platform::OperatorOf(platform::StunHost(server)), operatorKey);
}

void AgreementTest::agree_data() {
    QTest::addColumn<Sources>("sources");
    QTest::addColumn<QString>("published");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QString>("diagnosis");
    const QString ok = QString::fromLatin1(Ok);
    QTest::newRow("all agree") << Sources{upnp(Ok), natpmp(Ok), web("a.example", Ok),
                                          stun("b.example", Ok)}
                               << ok << "3 independent sources agree on " + ok << "";
    QTest::newRow("sources without an answer count neither way")
        << Sources{upnp(Ok), natpmp(nullptr), web("a.example", Ok), stun("b.example", nullptr),
                   stun("c.example", nullptr)}
        << ok << "2 independent sources agree on " + ok << "";
    QTest::newRow("one source alone")
        << Sources{upnp(nullptr), natpmp(nullptr), web("a.example", Ok), stun("b.example", nullptr)}
        << ""
        << "No second, independent source confirms " + ok + ", so it is not published"
        << "";
    QTest::newRow("one operator's services count once")
        << Sources{upnp(nullptr), web("a.example", Ok), web("a.example", Ok)} << ""
        << "No second, independent source confirms " + ok + ", so it is not published"
        << "";
    QTest::newRow("one server under two names counts once")
        << Sources{upnp(nullptr), web("localhost", Ok, "127.0.0.1"),
                   web("127.0.0.1", Ok, "127.0.0.1")}
        << ""
        << "No second, independent source confirms " + ok + ", so it is not published"
        << "";
    QTest::newRow("one address seen as IPv4 and as IPv6 counts once")
        << Sources{upnp(nullptr), stun("a.example", Ok, "203.0.113.9"),
                   web("b.example", Ok, "::ffff:203.0.113.9")}
        << ""
        << "No second, independent source confirms " + ok + ", so it is not published"
        << "";
    QTest::newRow("the router's two protocols count once")
        << Sources{upnp(Ok), natpmp(Ok), web("a.example", nullptr)} << ""
        << "No second, independent source confirms " + ok + ", so it is not published"
        << "";
    QTest::newRow("another public address")
        << Sources{upnp(Ok), natpmp(nullptr), web("a.example", Other), stun("b.example", Ok)} << ""
        << "The sources disagree (" + ok + ", 198.51.100.7), so none is published" << InTheWay;
    QTest::newRow("carrier-grade NAT")
        << Sources{upnp("100.64.1.1"), natpmp(nullptr), web("a.example", Ok), stun("b.example", Ok)}
        << ok << "2 independent sources agree on " + ok << CarrierNat;
    QTest::newRow("double NAT") << Sources{upnp("192.168.0.2"), natpmp("192.168.0.2"),
                                           web("a.example", Ok), stun("b.example", Ok)}
                                << ok << "2 independent sources agree on " + ok << DoubleNat;
    QTest::newRow("double NAT, 172.16.0.0/12")
        << Sources{upnp("172.20.0.1"), web("a.example", Ok), stun("b.example", Ok)} << ok
        << "2 independent sources agree on " + ok << DoubleNat;
    QTest::newRow("nothing public")
        << Sources{upnp("10.0.0.1"), natpmp(nullptr), web("a.example", "192.168.1.2"),
                   stun("b.example", "192.168.1.2")}
        << ""
        << "No source gave a public address" << DoubleNat;
    QTest::newRow("IPv6: this machine and the servers agree")
        << Sources{thisMachine("2001:db8::5"), web("a.example", "2001:db8::5"),
                   stun("b.example", "2001:db8::5")}
        << "2001:db8::5"
        << "3 independent sources agree on 2001:db8::5"
        << "";
    QTest::newRow("IPv6: a temporary address seen outside")
        << Sources{thisMachine("2001:db8::5"), web("a.example", "2001:db8::77"),
                   stun("b.example", "2001:db8::77")}
        << ""
        << "The sources disagree (2001:db8::5, 2001:db8::77), so none is published"
        << "";
}

void AgreementTest::agree() {
    QFETCH(Sources, sources);
    QFETCH(QString, published);
    QFETCH(QString, verdict);
    QFETCH(QString, diagnosis);
    const platform::Agreement agreement = platform::Agree(sources);
    QCOMPARE(agreement.address, published);
    QCOMPARE(agreement.verdict, verdict);
    QCOMPARE(agreement.diagnosis, diagnosis);
}

// What a person reads: every source's say, then the verdict and what stands out, on one line.
void AgreementTest::explainedOnOneLine_data() {
    QTest::addColumn<Sources>("sources");
    QTest::addColumn<QString>("explained");
    QTest::newRow("published") << Sources{upnp(Ok), stun("b.example", Ok)}
                               << "the router (UPnP) answered 203.0.113.50; STUN "
                                  "stun.b.example:3478 answered 203.0.113.50. 2 independent "
                                  "sources agree on 203.0.113.50.";
    QTest::newRow("private and silent sources")
        << Sources{upnp("192.168.0.2"), natpmp(nullptr), web("a.example", Ok)}
        << "the router (UPnP) answered 192.168.0.2, a private address, which only the local "
           "network can reach; no answer from the router (NAT-PMP); https://a.example answered "
           "203.0.113.50. No second, independent source confirms 203.0.113.50, so it is not "
           "published. " +
               DoubleNat;
}

void AgreementTest::explainedOnOneLine() {
    QFETCH(Sources, sources);
    QFETCH(QString, explained);
    QCOMPARE(platform::Agree(sources).Explained(), explained);
}

QTEST_GUILESS_MAIN(AgreementTest)
#include "tst_agreement.moc"
