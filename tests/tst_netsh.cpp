// The network shell stand-in against the real kernel, in CTest's namespace: each kind of static change
// from each start, and trying to break it with hostile interface names, a DHCP client that hangs or
// fails, signals and kill -9 in the middle of a change, changes at once, records others could redirect.
#include "netns.h"
#include "records/records.h"
#include "windowchanger.h"

#include <QtTest>

#include <csignal>
#include <random>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

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

// The next netsh for an interface, which finishes or rolls back what a killed one left.
bool nextRun(const QString &name)
{
    const QStringList arguments = QString("interface ip set dns name=%1 source=static addr=192.0.2.1").arg(name).split(' ');
    return QProcess::execute(testnet::tool("netsh"), arguments) == 0;
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
    void hostileNames_data();
    void hostileNames();
    void refusedOrRolledBack_data();
    void refusedOrRolledBack();
    void killedOrAtOnce_data();
    void killedOrAtOnce();

private:
    QTemporaryDir m_scratch;
    std::vector<std::unique_ptr<testnet::Peer>> m_peers;
};

void tst_netsh::initTestCase()
{
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    QVERIFY(m_scratch.isValid() && QDir(m_scratch.path()).mkpath("state"));
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_scratch.filePath("state")));
    qputenv("systemroot", qgetenv("VANTOREL_BUILD_DIR"));
    QVERIFY(testnet::useResolvConf("nameserver 192.0.2.1\n"));
}

void tst_netsh::cleanup()
{
    umount2("/usr/sbin/dhcpcd", MNT_DETACH); // a stand-in, if a row mounted one
    testnet::run("pkill", {"--ns", QString::number(getpid()), "--nslist", "net", "-KILL", "-x", "dhcpcd|sleep"});
    m_peers.clear();
    QDir(QString::fromStdString(records::namespaceDir())).removeRecursively(); // records and locks of links now gone
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
    QVERIFY(peer.ok() && other.ok());
    for (const QString &config : start) {
        const QStringList words = config.split(' ');
        QVERIFY(testnet::ip(config.startsWith("via ")      ? QStringList{"route", "add", "default", "dev", dev, "proto", "static"} + words
                            : config.startsWith("route ") ? QStringList{"route", "add", "dev", dev} + words.mid(1)
                                                          : QStringList{"addr", "add", "brd", "+", "dev", dev} + words));
    }
    QVERIFY(testnet::ip({"addr", "add", "10.61.0.5/24", "dev", "vn1"})
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
    const QString command = "interface ip set address name=\"vn0\" source=static addr=" + change.section(' ', 0, 0)
        + " mask=255.255.255.0" + (gateway == "-" ? QString() : " gateway=" + gateway + " gwmetric=1");
    QString output;
    QVERIFY2(testnet::netsh(command, &output) == 0 && output.isEmpty(), qPrintable(output));
    QCOMPARE(testnet::configOf(dev), expected);
    QCOMPARE(testnet::kernelState(dev), before);
    QTest::qWait(100);
    monitor.terminate();
    monitor.waitForFinished();
    const QString gap = firstGap(addresses + routes, monitor.readAllStandardOutput(), !expected.endsWith("|"));
    QVERIFY2(gap.isEmpty(), qPrintable("without an address or a default route after: " + gap));
}

void tst_netsh::hostileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("served"); // dhcpcd takes the name
    QTest::newRow("an option") << "-cpwn" << true;
    QTest::newRow("a quote") << "q\"uote" << true;
    QTest::newRow("backslashes before the closing quote") << "back\\sl\\" << false;
}

// DHCP, then static again, through the worker and cmd.exe as the window goes:
// only the named adapter changes; its DHCP client takes the name as a name, gets
// a lease and outlives netsh until the static change stops it.
void tst_netsh::hostileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, served);
    m_peers.emplace_back(new testnet::Peer(name, "10.90.0.1/24"));
    m_peers.emplace_back(new testnet::Peer("hx9", "10.91.0.1/24"));
    QVERIFY(m_peers[0]->ok() && m_peers[1]->ok() && testnet::ip({"link", "set", "hx9", "down"})
            && m_peers[0]->startDhcp("10.90.0.50", "10.90.0.60", "10.90.0.53"));
    const QByteArray bystander = QJsonDocument(testnet::ipJson({"-d", "addr", "show", "hx9"})).toJson();
    windowChanger worker;
    worker.setDhcpAddress(name);
    QVERIFY2(testnet::dhcpClients().isEmpty() != served, "a DHCP client serves the adapter if it takes the name");
    QTRY_VERIFY2_WITH_TIMEOUT(!served || testnet::configOf(name).contains(QRegExp("^10\\.90\\.0\\.(5\\d|60)/24~ ")),
                              qPrintable("no lease: " + testnet::configOf(name)), 30000);
    QCOMPARE(QJsonDocument(testnet::ipJson({"-d", "addr", "show", "hx9"})).toJson(), bystander);
    worker.setAddress({name, "10.90.0.8", "255.255.255.0", "10.90.0.1"});
    QCOMPARE(testnet::configOf(name), QString("10.90.0.8/24 | 10.90.0.1 1 static"));
    QTRY_VERIFY_WITH_TIMEOUT(testnet::dhcpClients().isEmpty(), 3000); // static stops the client netsh started
}

void tst_netsh::refusedOrRolledBack_data()
{
    QTest::addColumn<QString>("command"); // after "interface ip set address name=vf0"
    QTest::addColumn<QByteArray>("client"); // stands in for dhcpcd, after it marks that it runs
    QTest::addColumn<QString>("meddling"); // with the client: SIGTERM or kill -9 to netsh or cmd.exe; or a record folder's
    QTest::addColumn<QString>("message");
    const QString dhcp = "source=dhcp", good = "source=static addr=10.92.0.20 mask=255.255.255.0 gateway=10.92.0.1 gwmetric=1";
    const QByteArray hang = "ip -4 addr flush dev vf0; exec sleep 60";
    QTest::newRow("keyword twice") << good + " ADDR=10.92.0.8" << QByteArray() << "" << "given twice";
    QTest::newRow("holes in mask") << "source=static addr=10.92.0.9 mask=255.255.0.255" << QByteArray() << "" << "contiguous";
    QTest::newRow("gateway elsewhere") << "source=static addr=10.92.0.9 mask=255.255.255.0 gateway=10.61.0.1" << QByteArray() << ""
                                       << "not in the subnet";
    QTest::newRow("client flushes, then fails") << dhcp << QByteArray("ip -4 addr flush dev vf0; exit 1") << "" << "could not be started";
    QTest::newRow("client ends without a daemon") << dhcp << QByteArray("exit 0") << "" << "did not keep running";
    QTest::newRow("client hangs") << dhcp << hang << "" << "did not end within";
    QTest::newRow("client hangs, SIGTERM") << dhcp << hang << "SIGTERM" << "interrupted";
    QTest::newRow("client hangs, cmd.exe killed") << dhcp << hang << "cmd.exe killed" << QString();
    QTest::newRow("client hangs, netsh killed, the next run") << dhcp << hang << "netsh killed" << QString();
    QTest::newRow("records others may write") << good << QByteArray() << "shared" << "can be written by other users";
    QTest::newRow("a link planted as the lock") << good << QByteArray() << "link" << "can't be used";
}

// A change that can't be made ends with the interface as it was, every
// attribute kept, and netsh says why in one line.
void tst_netsh::refusedOrRolledBack()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, client);
    QFETCH(QString, meddling);
    QFETCH(QString, message);
    const int signal = meddling == "SIGTERM" ? SIGTERM : meddling.endsWith(" killed") ? SIGKILL : 0;
    m_peers.emplace_back(new testnet::Peer("vf0", "10.92.0.1/24"));
    QVERIFY(m_peers.back()->ok()
            && testnet::ip({"addr", "add", "10.92.0.10/24", "brd", "10.92.0.200", "label", "vf0:a", "noprefixroute", "dev", "vf0"})
            && testnet::ip({"addr", "add", "10.92.0.11/24", "valid_lft", "300", "preferred_lft", "200", "dev", "vf0"})
            && testnet::ip({"route", "add", "10.92.0.0/24", "dev", "vf0", "proto", "77", "src", "10.92.0.10"})
            && testnet::ip({"route", "add", "default", "via", "10.92.0.1", "dev", "vf0", "metric", "1", "proto", "42", "src", "10.92.0.10", "mtu", "1400"}));
    const QString started = m_scratch.filePath("started"), state = m_scratch.filePath("state");
    QFile fake(m_scratch.filePath("dhcpcd"));
    QVERIFY(fake.open(QIODevice::WriteOnly | QIODevice::Truncate) && fake.setPermissions(QFile::ReadOwner | QFile::ExeOwner)
            && fake.write("#!/bin/sh\ntouch '" + QFile::encodeName(started) + "'\n" + client + "\n") > 0);
    fake.close();
    QVERIFY(client.isEmpty() || mount(QFile::encodeName(fake.fileName()).constData(), "/usr/sbin/dhcpcd", nullptr, MS_BIND, nullptr) == 0);
    QFile::remove(started);
    QVERIFY(meddling != "shared" || QFile::setPermissions(state, QFile::permissions(state) | QFile::WriteGroup));
    QVERIFY(meddling != "link" || QFile::link(m_scratch.filePath("elsewhere"), QString::fromStdString(records::namespaceDir()) + "/vf0.lock"));
    const QString before = testnet::kernelState();
    QProcess netsh;
    netsh.setProcessChannelMode(QProcess::MergedChannels);
    const QString arguments = "interface ip set address name=vf0 " + command;
    if (meddling == "cmd.exe killed")
        netsh.start(testnet::tool("cmd.exe"), {"/c", "netsh " + arguments});
    else
        netsh.start(testnet::tool("netsh"), arguments.split(' '));
    QVERIFY(netsh.waitForStarted());
    if (signal) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), 5000);
        kill(pid_t(netsh.processId()), signal);
    }
    QVERIFY2(netsh.waitForFinished(10000), "netsh ends in time");
    const QString output = netsh.readAll();
    QFile::setPermissions(state, QFile::permissions(state) & ~QFile::WriteGroup);
    if (signal == SIGKILL) // netsh outlives cmd.exe only for its rollback; after its own kill -9 the next run rolls back
        QTRY_VERIFY_WITH_TIMEOUT(testnet::run("pgrep", {"--ns", QString::number(getpid()), "--nslist", "net", "-x", "netsh"}) == 1, 2000);
    else
        QVERIFY2(netsh.exitCode() == 1 && output.contains(message) && output.count('\n') == 1, qPrintable(output));
    QVERIFY(meddling != "netsh killed" || nextRun("vf0"));
    QCOMPARE(testnet::kernelState(), before);
    QVERIFY2(!QFile::exists(m_scratch.filePath("elsewhere")), "the planted link was not followed");
}

void tst_netsh::killedOrAtOnce_data()
{
    QTest::addColumn<int>("changes"); // started together in each round
    QTest::addColumn<bool>("killed"); // the first late in its change, else all wait while the lock is held here
    QTest::newRow("killed") << 1 << true;
    QTest::newRow("three at once") << 3 << false; // a race that a missing lock loses now and then
}

// Static changes back and forth: each that ends by itself exits 0, and the
// interface is always in one of them, whole.
void tst_netsh::killedOrAtOnce()
{
    QFETCH(int, changes);
    QFETCH(bool, killed);
    m_peers.emplace_back(new testnet::Peer("vk0", "10.93.0.1/24"));
    QElapsedTimer whole; // kills fall in the time of a change
    whole.start();
    const auto command = [](int subnet) { // vk0 10.93.<subnet>.10/24 with 10.93.<subnet>.1 as gateway
        return QString("interface ip set address name=vk0 source=static addr=10.93.%1.10 mask=255.255.255.0 gateway=10.93.%1.1 gwmetric=1")
            .arg(subnet).split(' ');
    };
    QVERIFY(m_peers.back()->ok() && QProcess::execute(testnet::tool("netsh"), command(0)) == 0);
    const unsigned span = unsigned(whole.nsecsElapsed() / 1000);
    std::mt19937 random(getpid());
    QFile lock(QString::fromStdString(records::namespaceDir()) + "/vk0.lock");
    QVERIFY(lock.open(QIODevice::ReadWrite));
    for (int round = 1; round <= 20; ++round) {
        QVERIFY(killed || flock(lock.handle(), LOCK_EX) == 0);
        std::vector<std::unique_ptr<QProcess>> netsh;
        for (int i = 0; i < changes; ++i) {
            netsh.emplace_back(new QProcess);
            netsh.back()->setProcessChannelMode(QProcess::MergedChannels);
            netsh.back()->start(testnet::tool("netsh"), command((round + i) % 3));
        }
        if (killed) {
            QVERIFY(netsh[0]->waitForStarted());
            usleep(std::uniform_int_distribution<unsigned>(span / 2, span)(random)); // the kernel changes come late
            kill(pid_t(netsh[0]->processId()), SIGKILL);
        } else {
            QVERIFY2(!netsh[0]->waitForFinished(200), "a change went ahead while the interface was locked");
            QVERIFY(flock(lock.handle(), LOCK_UN) == 0);
        }
        for (const auto &change : netsh)
            QVERIFY2(change->waitForFinished(10000) && (killed || change->exitCode() == 0), change->readAll().constData());
        QVERIFY(!killed || nextRun("vk0"));
        const QString config = testnet::configOf("vk0");
        QVERIFY2(QRegExp("(10\\.93\\.\\d)\\.10/24 \\| \\1\\.1 1 static").exactMatch(config),
                 qPrintable(QString("round %1: %2").arg(round).arg(config)));
    }
}

QTEST_GUILESS_MAIN(tst_netsh)
#include "tst_netsh.moc"
