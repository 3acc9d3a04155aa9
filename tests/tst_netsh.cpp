// The network shell stand-in's static changes against the real kernel, reached
// through cmd.exe as the worker reaches it, in CTest's namespace.
#include "netns.h"
#include "netstate_linux.h"

#include <QtTest>

namespace {

const QString dev = "vn0";

// Replays `ip monitor` lines over the interface's addresses and default routes as they
// were; the first line after which it lacks a kind it had before and keeps after, or "".
QString firstGap(const QString &before, const QString &events, bool routeKept)
{
    QRegExp address("^\\d+: " + dev + " +inet (\\S+)"), route("^default via .* dev " + dev + " ");
    QSet<QString> have[2]; // addresses, default routes
    const auto replay = [&](const QString &line) {
        const bool deleted = line.startsWith("Deleted ");
        const QString event = line.mid(deleted ? 8 : 0).trimmed();
        const int kind = address.indexIn(event) == 0 ? 0 : route.indexIn(event) == 0 ? 1 : -1;
        const QString key = kind ? event : address.cap(1);
        if (kind >= 0 && deleted)
            have[kind].remove(key);
        else if (kind >= 0)
            have[kind].insert(key);
    };
    for (const QString &line : before.split('\n'))
        replay(line);
    const bool hadAddress = !have[0].isEmpty(), hadRoute = routeKept && !have[1].isEmpty();
    for (const QString &line : events.split('\n')) {
        replay(line);
        if ((hadAddress && have[0].isEmpty()) || (hadRoute && have[1].isEmpty()))
            return line;
    }
    return QString();
}

} // namespace

class tst_netsh : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void staticRoad_data();
    void staticRoad();

private:
    QTemporaryDir m_state;
};

void tst_netsh::initTestCase()
{
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    QVERIFY(m_state.isValid());
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
}

void tst_netsh::cleanup()
{
    QDir(QString::fromStdString(netstate::namespaceDir())).removeRecursively(); // records of a link now gone
}

void tst_netsh::staticRoad_data()
{
    // "a.b.c.d/nn [ip addr options]" addresses, "via a.b.c.d metric n [ip route options]"
    // default routes and "route <ip route arguments>" other routes.
    QTest::addColumn<QStringList>("start");
    QTest::addColumn<QString>("change"); // address and gateway ("-": none), with mask 255.255.255.0
    QTest::addColumn<QString>("expected"); // testnet::configOf(dev) after it
    const QStringList usual = {"10.60.0.10/24", "via 10.60.0.1 metric 1"};
    const QString after = "10.60.0.10/24 | 10.60.0.1 1 static";
    QTest::newRow("gateway only, label kept") << QStringList{"10.60.0.10/24 label vn0:a", "via 10.60.0.1 metric 1"}
                                              << "10.60.0.10 10.60.0.254" << "10.60.0.10/24:vn0:a | 10.60.0.254 1 static";
    QTest::newRow("address, same subnet") << usual << "10.60.0.20 10.60.0.1" << "10.60.0.20/24 | 10.60.0.1 1 static";
    QTest::newRow("address, other subnet, other route kept") << usual + QStringList{"route 172.17.0.0/16 via 10.60.0.2"}
                                                             << "10.62.0.10 10.62.0.1" << "10.62.0.10/24 | 10.62.0.1 1 static";
    // 10.60.0.8/24 is a secondary of 10.60.0.7/24, which the kernel drops with that
    // primary; 10.60.0.9/16 is an address of that subnet with another mask.
    QTest::newRow("several addresses and routes")
        << QStringList{"10.60.0.7/24", "10.60.0.8/24", "10.60.0.9/16", "192.168.9.9/24", "via 10.60.0.1 metric 5", "via 192.168.9.1 metric 1"}
        << "10.60.0.8 10.60.0.1" << "10.60.0.8/24 | 10.60.0.1 1 static";
    QTest::newRow("the DHCP client's address and route")
        << QStringList{"10.60.0.10/24 valid_lft 300 preferred_lft 300", "via 10.60.0.1 metric 1 proto dhcp"} << "10.60.0.10 10.60.0.1" << after;
    QTest::newRow("no gateway") << usual << "10.60.0.10 -" << "10.60.0.10/24 |";
    QTest::newRow("nothing before") << QStringList() << "10.60.0.10 10.60.0.1" << after;
    QTest::newRow("the same again") << QStringList{"10.60.0.10/24", "via 10.60.0.1 metric 1 proto static"} << "10.60.0.10 10.60.0.1" << after;
}

// From each start to each kind of change, with a second adapter that has its
// own gateway at the same metric: the interface ends exactly as asked, nothing
// else changes, and at no moment is it without an address or a default route
// where it has one before and after.
void tst_netsh::staticRoad()
{
    QFETCH(QStringList, start);
    QFETCH(QString, change);
    QFETCH(QString, expected);
    testnet::Peer peer(dev, "10.60.0.1/24"), other("vn1", "10.61.0.1/24");
    for (const QString &config : start) {
        const QStringList words = config.split(' ');
        QVERIFY(peer.ok() && testnet::ip(config.startsWith("via ")      ? QStringList{"route", "add", "default", "dev", dev, "proto", "static"} + words
                                         : config.startsWith("route ") ? QStringList{"route", "add", "dev", dev} + words.mid(1)
                                                                       : QStringList{"addr", "add", "brd", "+", "dev", dev} + words));
    }
    QVERIFY(peer.ok() && other.ok() && testnet::ip({"addr", "add", "10.61.0.5/24", "dev", "vn1"})
            && testnet::ip({"route", "append", "default", "via", "10.61.0.1", "dev", "vn1", "metric", "1"})
            && testnet::ip({"route", "add", "172.16.0.0/16", "via", "10.61.0.1", "dev", "vn1"}));
    QProcess monitor;
    monitor.start("ip", {"-4", "monitor", "address", "route"});
    QByteArray heard; // listening once a route on the other adapter shows
    for (int tries = 0; tries < 100 && !heard.contains("198.51.100.") && monitor.waitForStarted(); ++tries) {
        QVERIFY(testnet::ip({"route", "add", "198.51.100." + QString::number(tries), "dev", "vn1"}));
        monitor.waitForReadyRead(50);
        heard += monitor.readAllStandardOutput();
    }
    QVERIFY2(heard.contains("198.51.100."), "ip monitor listens");
    const QString before = testnet::kernelState(dev);
    QString addresses, routes;
    QVERIFY(testnet::run("ip", {"-4", "-o", "addr", "show", "dev", dev}, &addresses) == 0
            && testnet::run("ip", {"-4", "route", "show", "default"}, &routes) == 0);
    const QString gateway = change.section(' ', 1);
    const QString command = "netsh interface ip set address name=\"vn0\" source=static addr=" + change.section(' ', 0, 0)
        + " mask=255.255.255.0" + (gateway == "-" ? QString() : " gateway=" + gateway + " gwmetric=1");
    QString output;
    QVERIFY2(testnet::run(testnet::tool("cmd.exe"), {"/c", command}, &output) == 0 && output.isEmpty(), qPrintable(output));
    QCOMPARE(testnet::configOf(dev), expected);
    QCOMPARE(testnet::kernelState(dev), before);
    QTest::qWait(100);
    monitor.terminate();
    monitor.waitForFinished();
    const QString gap = firstGap(addresses + routes, monitor.readAllStandardOutput(), !expected.endsWith("|"));
    QVERIFY2(gap.isEmpty(), qPrintable("without an address or a default route after: " + gap));
}

QTEST_GUILESS_MAIN(tst_netsh)
#include "tst_netsh.moc"
