// Trying to break netsh on the real kernel: hostile interface names, a DHCP
// client that hangs or fails, signals and kill -9 in the middle of a change,
// changes at the same time. Each ends in the requested configuration with
// exit 0, or exactly as it was with exit 1 and one line.
#include "netns.h"
#include "windowchanger.h"

#include <QtTest>

#include <csignal>
#include <random>
#include <sys/mount.h>
#include <unistd.h>

namespace {

QString netshPath()
{
    return qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/netsh";
}

// Every IPv4 address and route of the namespace, with every attribute ip shows
// but the link's state (a fresh veth pair comes up meanwhile); a lifetime that
// runs out shows as "finite", as it counts down.
QByteArray kernel()
{
    QJsonArray links;
    for (const QJsonValue &link : testnet::ipJson({"-4", "-d", "addr", "show"})) {
        QJsonArray addresses = link["addr_info"].toArray();
        for (QJsonValueRef address : addresses) {
            QJsonObject a = address.toObject();
            for (const char *key : {"valid_life_time", "preferred_life_time"}) {
                if (a[key].toDouble() != 4294967295.0)
                    a[key] = "finite";
            }
            address = a;
        }
        links << QJsonObject{{"ifname", link["ifname"]}, {"addr_info", addresses}};
    }
    QJsonArray routes;
    for (const QJsonValue &route : testnet::ipJson({"-4", "-d", "route", "show", "table", "all"})) {
        QJsonObject r = route.toObject();
        r.remove("flags");
        routes << r;
    }
    return QJsonDocument(links).toJson() + QJsonDocument(routes).toJson();
}

// "10.0.0.5/24 | 10.0.0.1 1": the interface's addresses, then its default routes.
QString configOf(const QString &dev)
{
    QStringList words;
    for (const QJsonValue &a : testnet::ipJson({"-4", "addr", "show", "dev", dev}).at(0)["addr_info"].toArray())
        words << a["local"].toString() + "/" + QString::number(a["prefixlen"].toInt());
    words << "|";
    for (const QJsonValue &r : testnet::ipJson({"-4", "route", "show", "default", "dev", dev}))
        words << r["gateway"].toString() + " " + QString::number(r["metric"].toInt());
    return words.join(' ');
}

QString staticCommand(const QString &dev, const QString &address)
{
    const QString gateway = address.section('.', 0, 2) + ".1";
    return "interface ip set address name=" + dev + " source=static addr=" + address + " mask=255.255.255.0 gateway=" + gateway + " gwmetric=1";
}

} // namespace

class tst_faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void hostileNames_data();
    void hostileNames();
    void dhcpClientFaults_data();
    void dhcpClientFaults();
    void killedChanges();
    void concurrentChanges_data();
    void concurrentChanges();
    void untrustedRecords_data();
    void untrustedRecords();

private:
    // An interface whose every attribute a rollback must keep.
    bool richInterface(const QString &dev);
    // `script` stands in for dhcpcd (the system's, found by full path) until cleanup.
    bool fakeClient(const QByteArray &script);

    QTemporaryDir m_scratch;
    std::vector<std::unique_ptr<testnet::Peer>> m_peers;
    bool m_faked = false;
};

void tst_faults::initTestCase()
{
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    QVERIFY(m_scratch.isValid() && QDir(m_scratch.path()).mkpath("state"));
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_scratch.filePath("state")));
    qputenv("systemroot", qgetenv("VANTOREL_BUILD_DIR"));
}

void tst_faults::cleanup()
{
    if (m_faked)
        umount2("/usr/sbin/dhcpcd", MNT_DETACH);
    m_faked = false;
    testnet::run("pkill", {"--ns", QString::number(getpid()), "--nslist", "net", "-KILL", "-x", "dhcpcd"});
    m_peers.clear();
}

bool tst_faults::richInterface(const QString &dev)
{
    m_peers.emplace_back(new testnet::Peer(dev, "10.92.0.1/24"));
    return m_peers.back()->ok()
        && testnet::ip({"addr", "add", "10.92.0.10/24", "brd", "10.92.0.200", "label", dev + ":a", "noprefixroute", "dev", dev})
        && testnet::ip({"addr", "add", "10.92.0.11/24", "valid_lft", "300", "preferred_lft", "200", "dev", dev})
        && testnet::ip({"route", "add", "10.92.0.0/24", "dev", dev, "proto", "77", "src", "10.92.0.10"})
        && testnet::ip({"route", "add", "default", "via", "10.92.0.1", "dev", dev, "metric", "1", "proto", "42", "src", "10.92.0.10", "mtu", "1400"});
}

bool tst_faults::fakeClient(const QByteArray &script)
{
    QFile file(m_scratch.filePath("dhcpcd"));
    m_faked = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write("#!/bin/sh\n" + script + "\n") > 0
        && file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    file.close();
    return m_faked && mount(QFile::encodeName(file.fileName()).constData(), "/usr/sbin/dhcpcd", nullptr, MS_BIND, nullptr) == 0;
}

void tst_faults::hostileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("served"); // dhcpcd takes the name
    QTest::newRow("an option") << "-cpwn" << true;
    QTest::newRow("the option terminator") << "--" << true;
    QTest::newRow("a quote") << "q\"uote" << true;
    QTest::newRow("backslashes before the closing quote") << "back\\sl\\" << false;
    QTest::newRow("shell characters") << "a;b|$(c)&`d`" << true;
}

// Through the worker and cmd.exe as the window goes: only the named adapter
// changes, and its DHCP client takes the name as a name.
void tst_faults::hostileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, served);
    m_peers.emplace_back(new testnet::Peer(name, "10.90.0.1/24"));
    m_peers.emplace_back(new testnet::Peer("hx9", "10.91.0.1/24"));
    QVERIFY(m_peers[0]->ok() && m_peers[1]->ok() && testnet::ip({"link", "set", "hx9", "down"}));
    const QByteArray bystander = QJsonDocument(testnet::ipJson({"-d", "addr", "show", "hx9"})).toJson();
    windowChanger worker;
    worker.setAddress({name, "10.90.0.9", "255.255.255.0", "10.90.0.1"});
    QCOMPARE(configOf(name), QString("10.90.0.9/24 | 10.90.0.1 1"));
    worker.setDhcpAddress(name);
    QString clients;
    testnet::run("pgrep", {"--ns", QString::number(getpid()), "--nslist", "net", "-x", "dhcpcd"}, &clients);
    QVERIFY2(clients.isEmpty() != served, "a DHCP client serves the adapter if it takes the name");
    QTest::qWait(500); // a client that took the name for an option would be at the others by now
    QCOMPARE(QJsonDocument(testnet::ipJson({"-d", "addr", "show", "hx9"})).toJson(), bystander);
    worker.setAddress({name, "10.90.0.8", "255.255.255.0", "10.90.0.1"});
    QCOMPARE(configOf(name), QString("10.90.0.8/24 | 10.90.0.1 1"));
    // Static again stops the client netsh started, and no other is left.
    QTRY_VERIFY_WITH_TIMEOUT(testnet::run("pgrep", {"--ns", QString::number(getpid()), "--nslist", "net", "-x", "dhcpcd"}) == 1, 3000);
}

void tst_faults::dhcpClientFaults_data()
{
    QTest::addColumn<QByteArray>("client");
    QTest::addColumn<int>("signal"); // sent to netsh once the client runs; SIGKILL goes to cmd.exe
    QTest::addColumn<QString>("message");
    const QByteArray mark = "touch '" + QFile::encodeName(m_scratch.filePath("started")) + "'; ";
    QTest::newRow("fails") << QByteArray("exit 1") << 0 << "could not be started";
    QTest::newRow("ends without a daemon") << QByteArray("exit 0") << 0 << "did not keep running";
    QTest::newRow("flushes the interface, then fails") << QByteArray("ip -4 addr flush dev vf0; exit 1") << 0 << "could not be started";
    QTest::newRow("hangs") << mark + "ip -4 addr flush dev vf0; exec sleep 60" << 0 << "did not end within";
    QTest::newRow("hangs, SIGTERM") << mark + "exec sleep 60" << int(SIGTERM) << "interrupted";
    QTest::newRow("hangs, SIGINT") << mark + "ip -4 addr flush dev vf0; exec sleep 60" << int(SIGINT) << "interrupted";
    QTest::newRow("hangs, SIGHUP") << mark + "exec sleep 60" << int(SIGHUP) << "interrupted";
    QTest::newRow("hangs, cmd.exe killed") << mark + "ip -4 addr flush dev vf0; exec sleep 60" << int(SIGKILL) << QString();
}

// "Auto distribute" with a client that can't do its job: the interface ends
// as it was, every attribute kept, and netsh says why in one line.
void tst_faults::dhcpClientFaults()
{
    QFETCH(QByteArray, client);
    QFETCH(int, signal);
    QFETCH(QString, message);
    QVERIFY(richInterface("vf0") && fakeClient(client));
    QFile::remove(m_scratch.filePath("started"));
    const QByteArray before = kernel();
    QProcess netsh;
    netsh.setProcessChannelMode(QProcess::MergedChannels);
    const QString command = "netsh interface ip set address name=vf0 source=dhcp";
    if (signal == SIGKILL)
        netsh.start(qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/cmd.exe", {"/c", command});
    else
        netsh.start(netshPath(), command.split(' ').mid(1));
    QVERIFY(netsh.waitForStarted());
    if (signal) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_scratch.filePath("started")), 5000);
        kill(pid_t(netsh.processId()), signal);
    }
    QVERIFY2(netsh.waitForFinished(10000), "netsh ends in time");
    const QString output = netsh.readAll();
    if (signal == SIGKILL) // netsh outlives cmd.exe only for its rollback
        QTRY_VERIFY_WITH_TIMEOUT(testnet::run("pgrep", {"--ns", QString::number(getpid()), "--nslist", "net", "-x", "netsh"}) == 1, 5000);
    else
        QVERIFY2(netsh.exitCode() == 1 && output.contains(message) && output.count('\n') == 1, qPrintable(output));
    QCOMPARE(kernel(), before);
}

// kill -9 at random points of static changes back and forth; the next netsh
// for the interface finds the interface in the old or the new configuration.
void tst_faults::killedChanges()
{
    m_peers.emplace_back(new testnet::Peer("vk0", "10.93.0.1/24"));
    QVERIFY(m_peers.back()->ok());
    const QStringList configs = {"10.93.0.10", "10.93.1.10"};
    QElapsedTimer whole; // kills fall anywhere in a change's time
    whole.start();
    QVERIFY(QProcess::execute(netshPath(), staticCommand("vk0", configs[0]).split(' ')) == 0);
    const unsigned span = unsigned(whole.nsecsElapsed() / 1000);
    const QStringList results = {configOf("vk0"), "10.93.1.10/24 | 10.93.1.1 1"};
    std::mt19937 random(getpid());
    for (int round = 1; round <= 30; ++round) {
        QProcess netsh;
        netsh.start(netshPath(), staticCommand("vk0", configs[round % 2]).split(' '));
        QVERIFY(netsh.waitForStarted());
        usleep(std::uniform_int_distribution<unsigned>(0, span)(random));
        kill(pid_t(netsh.processId()), SIGKILL);
        netsh.waitForFinished();
        QVERIFY(QProcess::execute(netshPath(), {"interface", "ip", "set", "dns", "name=vk0", "source=static", "addr=192.0.2.1"}) == 0);
        QVERIFY2(results.contains(configOf("vk0")), qPrintable(QString("round %1: %2").arg(round).arg(configOf("vk0"))));
    }
}

void tst_faults::concurrentChanges_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("two") << 2;
    QTest::newRow("four") << 4;
}

// Changes of one interface at the same time take turns: each exits 0, and
// the interface ends in one of them, whole.
void tst_faults::concurrentChanges()
{
    QFETCH(int, count);
    m_peers.emplace_back(new testnet::Peer("vc0", "10.94.0.1/24"));
    QVERIFY(m_peers.back()->ok());
    std::vector<std::unique_ptr<QProcess>> changes;
    QStringList requested;
    for (int i = 0; i < count; ++i) {
        const QString address = QString("10.94.%1.10").arg(i);
        requested << address + "/24 | " + address.section('.', 0, 2) + ".1 1";
        changes.emplace_back(new QProcess);
        changes.back()->setProcessChannelMode(QProcess::MergedChannels);
        changes.back()->start(netshPath(), staticCommand("vc0", address).split(' '));
    }
    for (const auto &change : changes) {
        QVERIFY(change->waitForFinished(10000));
        QVERIFY2(change->exitCode() == 0, change->readAll().constData());
    }
    QVERIFY2(requested.contains(configOf("vc0")), qPrintable(configOf("vc0")));
}

void tst_faults::untrustedRecords_data()
{
    QTest::addColumn<bool>("groupWritable"); // else a link planted where the lock goes
    QTest::addColumn<QString>("message");
    QTest::newRow("folder others may write") << true << "can be changed by another user";
    QTest::newRow("link planted as the lock") << false << "can't be used";
}

// Records another user could redirect are refused before anything changes.
void tst_faults::untrustedRecords()
{
    QFETCH(bool, groupWritable);
    QFETCH(QString, message);
    m_peers.emplace_back(new testnet::Peer("vr0", "10.95.0.1/24"));
    QVERIFY(m_peers.back()->ok());
    QVERIFY(QProcess::execute(netshPath(), staticCommand("vr0", "10.95.0.10").split(' ')) == 0);
    const QString state = m_scratch.filePath("state");
    const QString lock = QDir(state).entryList({"net-*"}).value(0).prepend(state + "/") + "/vr0.lock";
    const QFile::Permissions usual = QFile::permissions(state);
    QVERIFY(groupWritable ? QFile::setPermissions(state, usual | QFile::WriteGroup)
                          : QFile::remove(lock) && QFile::link(m_scratch.filePath("elsewhere"), lock));
    const QByteArray before = kernel();
    QProcess netsh;
    netsh.setProcessChannelMode(QProcess::MergedChannels);
    netsh.start(netshPath(), staticCommand("vr0", "10.95.0.20").split(' '));
    QVERIFY(netsh.waitForFinished(10000));
    const QString output = netsh.readAll();
    QFile::setPermissions(state, usual);
    QFile::remove(lock);
    QVERIFY2(netsh.exitCode() == 1 && output.contains(message) && output.count('\n') == 1, qPrintable(output));
    QCOMPARE(kernel(), before);
    QVERIFY2(!QFile::exists(m_scratch.filePath("elsewhere")), "the link was not followed");
}

QTEST_GUILESS_MAIN(tst_faults)
#include "tst_faults.moc"
