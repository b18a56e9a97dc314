// Where the published address comes from: this machine, a UPnP router and a web service, the
// last two played by tests/common/addressserver.py on 127.0.0.1. The test runs in a network
// namespace of its own where the machine allows one (tests/common/own-network.sh).

#include "AddressServer.h"
#include "AddressSource.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QtTest>

using namespace std::chrono_literals;
using platform::AddressSource;

namespace {

bool inOwnNetwork() {
    return qEnvironmentVariableIntValue("VANTRELL_TEST_NETNS") == 1;
}

platform::AddressAnswer find(AddressSource source, const QString& url,
                             std::chrono::milliseconds timeout = 2s) {
    platform::AddressQuery query;
    query.source = source;
    (source == AddressSource::Router ? query.routerURL : query.webURL) = url;
    query.timeout = timeout;
    return platform::FindAddress(query);
}

bool ip(const QStringList& args) {
    return QProcess::execute(QStringLiteral("ip"), args) == 0;
}

} // namespace

class AddressTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void unreachableAddressesAreMarked_data();
    void unreachableAddressesAreMarked();
    void webService_data();
    void webService();
    void routerByDescription_data();
    void routerByDescription();
    void routerBySearch();
    void globalIPv6OfThisMachine();

private:
    AddressServer m_server;
};

void AddressTest::initTestCase() {
    QVERIFY2(m_server.start({.https = true}), qPrintable(m_server.errorString()));
}

void AddressTest::unreachableAddressesAreMarked_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("hint"); // empty: the internet can reach it

    QTest::newRow("public") << "203.0.113.7"
                            << "";
    QTest::newRow("10/8") << "10.1.2.3"
                          << "a private address";
    QTest::newRow("172.16/12 end") << "172.31.255.255"
                                   << "a private address";
    QTest::newRow("past 172.16/12") << "172.32.0.1"
                                    << "";
    QTest::newRow("192.168/16") << "192.168.1.20"
                                << "a private address";
    QTest::newRow("CGNAT") << "100.64.0.1"
                           << "carrier-grade NAT";
    QTest::newRow("CGNAT end") << "100.127.255.255"
                               << "carrier-grade NAT";
    QTest::newRow("past CGNAT") << "100.128.0.1"
                                << "";
    QTest::newRow("loopback") << "127.0.1.1"
                              << "loopback";
    QTest::newRow("link-local") << "169.254.10.1"
                                << "link-local";
    QTest::newRow("none") << "0.0.0.0"
                          << "no address";
    QTest::newRow("IPv6 public") << "2001:db8::7"
                                 << "";
    QTest::newRow("IPv6 loopback") << "::1"
                                   << "loopback";
    QTest::newRow("IPv6 link-local") << "fe80::1"
                                     << "link-local";
    QTest::newRow("IPv6 ULA fd") << "fd12:3456::1"
                                 << "unique local";
    QTest::newRow("IPv6 ULA fc") << "fc00::1"
                                 << "unique local";
    QTest::newRow("IPv4 in IPv6") << "::ffff:192.168.1.1"
                                  << "a private address";
    QTest::newRow("no address") << "router"
                                << "not an IP address";
}

void AddressTest::unreachableAddressesAreMarked() {
    QFETCH(QString, address);
    QFETCH(QString, hint);
    const QString reason = platform::UnreachableReason(address);
    if (hint.isEmpty())
        QCOMPARE(reason, QString());
    else
        QVERIFY2(reason.contains(hint), qPrintable(reason));
}

void AddressTest::webService_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("error"); // part of it

    QTest::newRow("bare") << m_server.say("203.0.113.7\n") << "203.0.113.7"
                          << "";
    QTest::newRow("in a page") << m_server.say("<html><p>Your IP: 203.0.113.8.</p></html>")
                               << "203.0.113.8"
                               << "";
    QTest::newRow("IPv6") << m_server.say("2001:DB8:0::7") << "2001:db8::7"
                          << "";
    QTest::newRow("times and bad quads first")
        << m_server.say("12:30:45 aa:bb:cc:dd:ee:ff 10.0.0.300 1.2.3 198.51.100.9")
        << "198.51.100.9"
        << "";
    // Whether it is worth publishing is for the upload to judge.
    QTest::newRow("private") << m_server.say("192.168.1.20") << "192.168.1.20"
                             << "";
    QTest::newRow("no address") << m_server.say("try again later") << ""
                                << "holds no IP address";
    QTest::newRow("not found") << m_server.url(QStringLiteral("status/404")) << ""
                               << "404";
    QTest::newRow("untrusted certificate")
        << m_server.httpsUrl(QStringLiteral("say/203.0.113.7")) << ""
        << "certificate";
    QTest::newRow("nothing listens") << "http://127.0.0.1:1/"
                                     << ""
                                     << "no answer from";
    QTest::newRow("silent") << m_server.url(QStringLiteral("silent")) << ""
                            << "time";
    QTest::newRow("not the web") << "ftp://127.0.0.1/ip"
                                 << ""
                                 << "must start with https:// or http://";
}

void AddressTest::webService() {
    QFETCH(QString, url);
    QFETCH(QString, address);
    QFETCH(QString, error);
    const platform::AddressAnswer answer = find(AddressSource::Web, url);
    QCOMPARE(answer.address, address);
    QVERIFY2(answer.error.contains(error, Qt::CaseInsensitive), qPrintable(answer.error));
}

void AddressTest::routerByDescription_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("error"); // part of it

    QTest::newRow("public") << m_server.router("203.0.113.9") << "203.0.113.9"
                            << "";
    QTest::newRow("private") << m_server.router("192.168.0.1") << "192.168.0.1"
                             << "";
    QTest::newRow("not connected") << m_server.router("0.0.0.0") << "0.0.0.0"
                                   << "";
    QTest::newRow("refuses") << m_server.router("fault") << ""
                             << "did not tell its external address (Action Failed)";
    QTest::newRow("not a gateway") << m_server.say("<root><device/></root>") << ""
                                   << "is not an internet gateway";
    QTest::newRow("nothing listens") << "http://127.0.0.1:1/desc.xml"
                                     << ""
                                     << "no answer from the router";
    QTest::newRow("silent") << m_server.url(QStringLiteral("silent")) << ""
                            << "no answer";
    QTest::newRow("not http") << "https://127.0.0.1/desc.xml"
                              << ""
                              << "must start with http://";
}

void AddressTest::routerByDescription() {
    QFETCH(QString, url);
    QFETCH(QString, address);
    QFETCH(QString, error);
    const platform::AddressAnswer answer = find(AddressSource::Router, url);
    QCOMPARE(answer.address, address);
    QVERIFY2(answer.error.contains(error), qPrintable(answer.error));
}

void AddressTest::routerBySearch() {
    if (!inOwnNetwork())
        QSKIP("an SSDP search is multicast: it is tried only in a network namespace of the "
              "test's own, which ctest makes (tests/common/own-network.sh) where unshare -n "
              "and iproute2 allow it");
    AddressServer gateway;
    QVERIFY2(gateway.start({.ssdpAddress = QStringLiteral("203.0.113.10")}),
             qPrintable(gateway.errorString()));
    if (!gateway.ssdpError().isEmpty())
        QSKIP(qPrintable(QStringLiteral("multicast on the loopback is not available here: ") +
                         gateway.ssdpError()));

    const platform::AddressAnswer answer = find(AddressSource::Router, QString(), 5s);
    QCOMPARE(answer.error, QString());
    QCOMPARE(answer.address, QStringLiteral("203.0.113.10"));
    QVERIFY(!gateway.requests().filter(QStringLiteral("SEARCH ")).isEmpty());
}

void AddressTest::globalIPv6OfThisMachine() {
    if (!inOwnNetwork())
        QSKIP("needs a network namespace of the test's own to give the machine addresses");
    const auto local6 = [] {
        return find(AddressSource::Local6, QString());
    };

    // Only the loopback so far.
    QCOMPARE(local6().address, QString());
    QCOMPARE(local6().error, QStringLiteral("this machine has no global IPv6 address"));

    if (!ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"}))
        QSKIP("no virtual network interfaces here (veth)");
    QVERIFY(ip({"addr", "add", "fd00::9/64", "dev", "v0", "nodad"}));
    QVERIFY(ip({"link", "set", "v0", "up"}) && ip({"link", "set", "v1", "up"}));
    QTRY_VERIFY(QNetworkInterface::interfaceFromName(QStringLiteral("v0"))
                    .flags()
                    .testFlag(QNetworkInterface::IsRunning));
    QCOMPARE(local6().address, QString()); // unique local and link-local only
    QVERIFY(ip({"addr", "add", "2001:db8::5/64", "dev", "v0", "nodad"}));
    QTRY_COMPARE(local6().address, QStringLiteral("2001:db8::5"));
}

QTEST_MAIN(AddressTest)
#include "tst_address.moc"
