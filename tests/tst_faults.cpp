// Trying to break netsh on the real kernel: hostile interface names, a DHCP client
// that hangs or fails, signals and kill -9 in the middle of a change, changes at the
// same time, records another user could redirect.
#include "netns.h"
#include "netstate_linux.h"
#include "windowchanger.h"

#include <QtTest>

#include <csignal>
#include <random>
#include <sys/mount.h>
#include <unistd.h>

class tst_faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
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

void tst_faults::initTestCase()
{
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    QVERIFY(m_scratch.isValid() && QDir(m_scratch.path()).mkpath("state"));
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_scratch.filePath("state")));
    qputenv("systemroot", qgetenv("VANTOREL_BUILD_DIR"));
    QVERIFY(testnet::useResolvConf("nameserver 192.0.2.1\n"));
}

void tst_faults::cleanup()
{
    umount2("/usr/sbin/dhcpcd", MNT_DETACH); // a stand-in, if a row mounted one
    testnet::run("pkill", {"--ns", QString::number(getpid()), "--nslist", "net", "-KILL", "-x", "dhcpcd"});
    m_peers.clear();
    QDir(QString::fromStdString(netstate::namespaceDir())).removeRecursively(); // records and locks of links now gone
}

void tst_faults::hostileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("served"); // dhcpcd takes the name
    QTest::newRow("an option") << "-cpwn" << true;
    QTest::newRow("a quote") << "q\"uote" << true;
    QTest::newRow("backslashes before the closing quote") << "back\\sl\\" << false;
    QTest::newRow("shell characters") << "a;b|$(c)&`d`" << true;
}

// DHCP, then static again, through the worker and cmd.exe as the window goes:
// only the named adapter changes; its DHCP client takes the name as a name, gets
// a lease and outlives netsh until the static change stops it.
void tst_faults::hostileNames()
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
    QTest::qWait(500); // a client that took the name for an option would be at the others by now
    QCOMPARE(QJsonDocument(testnet::ipJson({"-d", "addr", "show", "hx9"})).toJson(), bystander);
    worker.setAddress({name, "10.90.0.8", "255.255.255.0", "10.90.0.1"});
    QCOMPARE(testnet::configOf(name), QString("10.90.0.8/24 | 10.90.0.1 1 static"));
    QTRY_VERIFY_WITH_TIMEOUT(testnet::dhcpClients().isEmpty(), 3000); // static stops the client netsh started
}

void tst_faults::refusedOrRolledBack_data()
{
    QTest::addColumn<QString>("command"); // after "interface ip set address name=vf0"
    QTest::addColumn<QByteArray>("client"); // stands in for dhcpcd, after it marks that it runs
    QTest::addColumn<int>("signal"); // sent to netsh once the client runs; SIGKILL goes to cmd.exe
    QTest::addColumn<QString>("records"); // "shared": a folder others may write, "link": one planted as the lock
    QTest::addColumn<QString>("message");
    const QString dhcp = "source=dhcp", good = "source=static addr=10.92.0.20 mask=255.255.255.0 gateway=10.92.0.1 gwmetric=1";
    const QByteArray hang = "ip -4 addr flush dev vf0; exec sleep 60";
    QTest::newRow("keyword twice") << good + " ADDR=10.92.0.8" << QByteArray() << 0 << "" << "given twice";
    QTest::newRow("holes in mask") << "source=static addr=10.92.0.9 mask=255.255.0.255" << QByteArray() << 0 << "" << "contiguous";
    QTest::newRow("gateway elsewhere") << "source=static addr=10.92.0.9 mask=255.255.255.0 gateway=10.61.0.1" << QByteArray() << 0 << ""
                                       << "not in the subnet";
    QTest::newRow("client flushes, then fails") << dhcp << QByteArray("ip -4 addr flush dev vf0; exit 1") << 0 << "" << "could not be started";
    QTest::newRow("client ends without a daemon") << dhcp << QByteArray("exit 0") << 0 << "" << "did not keep running";
    QTest::newRow("client hangs") << dhcp << hang << 0 << "" << "did not end within";
    QTest::newRow("client hangs, SIGTERM") << dhcp << hang << int(SIGTERM) << "" << "interrupted";
    QTest::newRow("client hangs, cmd.exe killed") << dhcp << hang << int(SIGKILL) << "" << QString();
    QTest::newRow("records others may write") << good << QByteArray() << 0 << "shared" << "can be written by other users";
    QTest::newRow("a link planted as the lock") << good << QByteArray() << 0 << "link" << "can't be used";
}

// A change that can't be made ends with the interface as it was, every
// attribute kept, and netsh says why in one line.
void tst_faults::refusedOrRolledBack()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, client);
    QFETCH(int, signal);
    QFETCH(QString, records);
    QFETCH(QString, message);
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
    QVERIFY(records != "shared" || QFile::setPermissions(state, QFile::permissions(state) | QFile::WriteGroup));
    QVERIFY(records != "link" || QFile::link(m_scratch.filePath("elsewhere"), QString::fromStdString(netstate::namespaceDir()) + "/vf0.lock"));
    const QString before = testnet::kernelState();
    QProcess netsh;
    netsh.setProcessChannelMode(QProcess::MergedChannels);
    const QString arguments = "interface ip set address name=vf0 " + command;
    if (signal == SIGKILL)
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
    if (signal == SIGKILL) // netsh outlives cmd.exe only for its rollback
        QTRY_VERIFY_WITH_TIMEOUT(testnet::run("pgrep", {"--ns", QString::number(getpid()), "--nslist", "net", "-x", "netsh"}) == 1, 5000);
    else
        QVERIFY2(netsh.exitCode() == 1 && output.contains(message) && output.count('\n') == 1, qPrintable(output));
    QCOMPARE(testnet::kernelState(), before);
    QVERIFY2(!QFile::exists(m_scratch.filePath("elsewhere")), "the planted link was not followed");
}

void tst_faults::killedOrAtOnce_data()
{
    QTest::addColumn<int>("changes"); // started together in each round
    QTest::addColumn<bool>("killed"); // the first killed (-9) late in a change, then the next netsh for the interface runs
    QTest::newRow("killed") << 1 << true;
    QTest::newRow("three at once") << 3 << false; // a race that a missing lock loses now and then
}

// Static changes back and forth: each that ends by itself exits 0, and the
// interface is always in one of them, whole.
void tst_faults::killedOrAtOnce()
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
    for (int round = 1; round <= 20; ++round) {
        std::vector<std::unique_ptr<QProcess>> netsh;
        for (int i = 0; i < changes; ++i) {
            netsh.emplace_back(new QProcess);
            netsh.back()->setProcessChannelMode(QProcess::MergedChannels);
            netsh.back()->start(testnet::tool("netsh"), command((round + i) % 3));
        }
        if (killed && netsh[0]->waitForStarted()) {
            usleep(std::uniform_int_distribution<unsigned>(span / 2, span)(random)); // the kernel changes come late
            kill(pid_t(netsh[0]->processId()), SIGKILL);
        }
        for (const auto &change : netsh)
            QVERIFY2(change->waitForFinished(10000) && (killed || change->exitCode() == 0), change->readAll().constData());
        QVERIFY(!killed || QProcess::execute(testnet::tool("netsh"), {"interface", "ip", "set", "dns", "name=vk0", "source=static",
                                                                       "addr=192.0.2.1"}) == 0);
        const QString config = testnet::configOf("vk0");
        QVERIFY2(QRegExp("(10\\.93\\.\\d)\\.10/24 \\| \\1\\.1 1 static").exactMatch(config),
                 qPrintable(QString("round %1: %2").arg(round).arg(config)));
    }
}

QTEST_GUILESS_MAIN(tst_faults)
#include "tst_faults.moc"
