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
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

// The DHCP clients of the test's namespace: live dhcpcd processes that no dhcpcd started.
int clients()
{
    int count = 0;
    for (const QString &pid : testnet::dhcpClients()) {
        QFile stat("/proc/" + pid + "/stat");
        const QString fields = stat.open(QIODevice::ReadOnly) ? QString(stat.readAll()).section(") ", 1) : QString();
        QFile parent("/proc/" + fields.section(' ', 1, 1) + "/comm");
        count += fields.section(' ', 0, 0) != "Z" && parent.open(QIODevice::ReadOnly) && parent.readAll() != "dhcpcd\n";
    }
    return count;
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
    void killedAnywhere_data();
    void killedAnywhere();
    void otherClients_data();
    void otherClients();
    void largeJournal_data();
    void largeJournal();

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
    // A client's helpers may fork while it is killed: again, until none is left.
    for (int round = 0; round < 100; ++round) {
        if (testnet::run("pkill", {"--ns", QString::number(getpid()), "--nslist", "net", "-KILL", "-x", "dhcpcd|sleep"}) != 0)
            break;
        QTest::qWait(20);
    }
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
    QTest::newRow("a default route without a gateway, other routes kept")
        << QStringList{"10.60.0.10/24", "route 10.70.0.0/16", "route default"} << "10.60.0.10 10.60.0.1" << after;
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
    QTest::addColumn<QString>("address"); // what it takes: a lease, or without a server a link-local address
    const QString lease = "^10\\.90\\.0\\.(5\\d|60)/24~ ";
    QTest::newRow("an option") << "-cpwn" << true << lease;
    QTest::newRow("a quote") << "q\"uote" << true << lease;
    QTest::newRow("backslashes before the closing quote") << "back\\sl\\" << false << lease;
    QTest::newRow("no DHCP server") << "ll0" << true << "^169\\.254\\.\\d+\\.\\d+/16 ";
}

// DHCP, then static again, through the worker and cmd.exe as the window goes:
// only the named adapter changes; its DHCP client takes the name as a name, gets
// a lease and outlives netsh until the static change stops it.
void tst_netsh::hostileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, served);
    QFETCH(QString, address);
    m_peers.emplace_back(new testnet::Peer(name, "10.90.0.1/24"));
    m_peers.emplace_back(new testnet::Peer("hx9", "10.91.0.1/24"));
    QVERIFY(m_peers[0]->ok() && m_peers[1]->ok() && testnet::ip({"link", "set", "hx9", "down"})
            && (address.startsWith("^169") || m_peers[0]->startDhcp("10.90.0.50", "10.90.0.60", "10.90.0.53")));
    const QByteArray bystander = QJsonDocument(testnet::ipJson({"-d", "addr", "show", "hx9"})).toJson();
    windowChanger worker;
    const mode_t mask = umask(0); // the caller's mask leaves no file of netsh's or its client's open to others
    worker.setDhcpAddress(name);
    umask(mask);
    QVERIFY2(testnet::dhcpClients().isEmpty() != served, "a DHCP client serves the adapter if it takes the name");
    QTRY_VERIFY2_WITH_TIMEOUT(!served || testnet::configOf(name).contains(QRegExp(address)),
                              qPrintable("no address: " + testnet::configOf(name)), 30000);
    QVERIFY2(!served || worker.getAddress(name).dhcpEnabled == 1, "the panel says DHCP");
    QCOMPARE(QJsonDocument(testnet::ipJson({"-d", "addr", "show", "hx9"})).toJson(), bystander);
    // Nothing others may write, but the client's sockets, which it opens as it chooses.
    for (QDirIterator it(QString::fromStdString(records::namespaceDir()), QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories); it.hasNext();) {
        struct stat st;
        QVERIFY(lstat(QFile::encodeName(it.next()).constData(), &st) == 0);
        QVERIFY2(S_ISSOCK(st.st_mode) || !(st.st_mode & (S_IWGRP | S_IWOTH)), qPrintable(it.filePath()));
    }
    worker.setAddress({name, "10.90.0.8", "255.255.255.0", "10.90.0.1"});
    QCOMPARE(testnet::configOf(name), QString("10.90.0.8/24 | 10.90.0.1 1 static"));
    QTRY_VERIFY_WITH_TIMEOUT(testnet::dhcpClients().isEmpty(), 3000); // static stops the client netsh started
    QFile record(QString::fromStdString(records::namespaceDir()) + "/" + name + ".state");
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(QString(record.readAll()).section('\n', 1), QString("method=static\naddresses=10.90.0.8/24\ndnsSource=\nstaticDns=\n"
                                                                 "clientPid=0\nclientMounts=0\nsavedAddresses=\nsavedRoutes=\n"));
}

void tst_netsh::refusedOrRolledBack_data()
{
    QTest::addColumn<QString>("command"); // "address ..." or "dns ...", for vf0
    QTest::addColumn<QByteArray>("client"); // stands in for dhcpcd, after it marks that it runs (unless it names its interpreter)
    // With the client: SIGTERM or kill -9 to netsh or cmd.exe, the client's mode, another client first on
    // PATH; else what is planted: a record folder's mode, the lock, a silent system bus, a lease
    QTest::addColumn<QString>("meddling");
    QTest::addColumn<QString>("message");
    const QString dhcp = "address source=dhcp", good = "address source=static addr=10.92.0.20 mask=255.255.255.0 gateway=10.92.0.1 gwmetric=1";
    const QByteArray hang = "ip -4 addr flush dev vf0; exec sleep 60";
    QTest::newRow("keyword twice") << good + " ADDR=10.92.0.8" << QByteArray() << "" << "given twice";
    QTest::newRow("holes in mask") << "address source=static addr=10.92.0.9 mask=255.255.0.255" << QByteArray() << "" << "contiguous";
    QTest::newRow("gateway no address") << "address source=static addr=10.92.0.9 mask=255.255.255.0 gateway=10.92.0" << QByteArray() << ""
                                        << "Invalid gateway value '10.92.0': an IPv4 address like 192.168.1.10 is expected.";
    QTest::newRow("gateway elsewhere") << "address source=static addr=10.92.0.9 mask=255.255.255.0 gateway=10.61.0.1" << QByteArray() << ""
                                       << "not in the subnet";
    QTest::newRow("client flushes, then fails") << dhcp << QByteArray("ip -4 addr flush dev vf0; echo no carrier >&2; exit 1") << ""
                                                << "could not be started: no carrier";
    QTest::newRow("client puts an address back otherwise") << dhcp
        << QByteArray("ip addr del 10.92.0.10/24 dev vf0 && ip addr add 10.92.0.10/24 brd + dev vf0 && ip addr add 10.92.0.99/24 dev vf0; exit 1")
        << "" << "could not be started";
    QTest::newRow("a client first on root's PATH") << dhcp << QByteArray("echo the system\\'s >&2; exit 1") << "path"
                                                   << "could not be started: the system's";
    QTest::newRow("no client installed") << dhcp << QByteArray("exit 0") << "not executable" << "dhcpcd is not installed.";
    QTest::newRow("a client that can't be run") << dhcp << QByteArray("#!/nonexistent") << ""
                                                << "could not be started: /usr/sbin/dhcpcd: No such file or directory";
    QTest::newRow("client ends without a daemon, its child stays")
        << dhcp << QByteArray("sleep 60 >/dev/null 2>&1 & exit 0") << "" << "did not keep running.";
    QTest::newRow("client hangs") << dhcp << hang << "" << "did not end within";
    QTest::newRow("client hangs, SIGTERM") << dhcp << hang << "SIGTERM" << "interrupted";
    QTest::newRow("client hangs, cmd.exe killed") << dhcp << hang << "cmd.exe killed" << QString();
    QTest::newRow("client hangs, netsh killed, the next run") << dhcp << hang << "netsh killed" << QString();
    QTest::newRow("records others may write") << good << QByteArray() << "shared" << "can be written by other users";
    QTest::newRow("a link planted as the lock") << good << QByteArray() << "link" << "can't be used";
    QTest::newRow("a FIFO planted as the lock") << good << QByteArray() << "fifo" << "vf0.lock is not a regular file.";
    QTest::newRow("a change that never ends") << good << QByteArray() << "locked" << "has not ended within 20 s";
    QTest::newRow("a system bus that never answers") << good << QByteArray() << "silent bus" << "did not answer within";
    const QString dhcpDns = "dns source=dhcp";
    QTest::newRow("a damaged lease") << dhcpDns << QByteArray() << "lease damaged" << "is damaged";
    QTest::newRow("a FIFO as the lease") << dhcpDns << QByteArray() << "lease fifo" << "is not a regular file";
    QTest::newRow("an oversized lease") << dhcpDns << QByteArray() << "lease large" << "is larger than a record can be";
    QTest::newRow("a linked lease") << dhcpDns << QByteArray() << "lease link" << "is a symbolic link";
}

// A change that can't be made ends with the interface as it was, every
// attribute kept, its record, resolver and DHCP client too, and netsh says why in one line.
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
    const QString records = QString::fromStdString(records::namespaceDir()) + "/vf0";
    QFile fake(m_scratch.filePath("dhcpcd"));
    QVERIFY(fake.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && fake.setPermissions(QFile::ReadOwner | (meddling == "not executable" ? QFile::Permissions() : QFile::ExeOwner))
            && fake.write((client.startsWith("#!") ? "" : "#!/bin/sh\ntouch '" + QFile::encodeName(started) + "'\n") + client + "\n") > 0);
    fake.close();
    QVERIFY(client.isEmpty() || mount(QFile::encodeName(fake.fileName()).constData(), "/usr/sbin/dhcpcd", nullptr, MS_BIND, nullptr) == 0);
    QFile::remove(started);
    QVERIFY(meddling != "shared" || QFile::setPermissions(state, QFile::permissions(state) | QFile::WriteGroup));
    QVERIFY(meddling != "link" || QFile::link(m_scratch.filePath("elsewhere"), records + ".lock"));
    QVERIFY(meddling != "fifo" || mkfifo(QFile::encodeName(records + ".lock").constData(), 0600) == 0);
    QFile lock(records + ".lock");
    QVERIFY(meddling != "locked" || (lock.open(QIODevice::ReadWrite) && flock(lock.handle(), LOCK_EX) == 0));
    sockaddr_un bus = {AF_UNIX, {}}; // listens, never reads
    qstrncpy(bus.sun_path, QFile::encodeName(m_scratch.filePath("bus")).constData(), sizeof bus.sun_path);
    const int silentBus = meddling == "silent bus" ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    QVERIFY(silentBus < 0 || (bind(silentBus, reinterpret_cast<sockaddr *>(&bus), sizeof bus) == 0 && listen(silentBus, 8) == 0));
    if (meddling.startsWith("lease ")) { // on DHCP by its record
        rtnl::Link link;
        records::InterfaceState onDhcp;
        onDhcp.method = "dhcp";
        QVERIFY(rtnl::linkByName("vf0", &link) && records::save(link, onDhcp));
        QFile lease(records + ".lease");
        QVERIFY(meddling != "lease damaged" || (lease.open(QIODevice::WriteOnly) && lease.write("dns\n") > 0));
        QVERIFY(meddling != "lease fifo" || mkfifo(QFile::encodeName(lease.fileName()).constData(), 0644) == 0);
        QVERIFY(meddling != "lease large" || (lease.open(QIODevice::WriteOnly) && lease.write(QByteArray(70000, '\n')) > 0));
        QVERIFY(meddling != "lease link" || QFile::link(m_scratch.filePath("elsewhere"), lease.fileName()));
    }
    const auto recorded = [&] {
        QFile record(records + ".state"), resolver("/etc/resolv.conf");
        return (record.open(QIODevice::ReadOnly) ? record.readAll() : "none") + (resolver.open(QIODevice::ReadOnly) ? resolver.readAll() : "");
    };
    const QString before = testnet::kernelState();
    const QByteArray recordedBefore = recorded();
    QProcess netsh;
    netsh.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (silentBus >= 0)
        environment.insert("DBUS_SYSTEM_BUS_ADDRESS", QString("unix:path=") + bus.sun_path);
    QFile onPath(m_scratch.filePath("dhcpcd-on-path/dhcpcd")); // not root's to run
    QVERIFY(meddling != "path"
            || (QDir(m_scratch.path()).mkpath("dhcpcd-on-path") && onPath.open(QIODevice::WriteOnly)
                && onPath.write("#!/bin/sh\necho the PATH\\'s >&2; exit 1\n") > 0 && onPath.setPermissions(QFile::ReadOwner | QFile::ExeOwner)));
    onPath.close();
    if (meddling == "path")
        environment.insert("PATH", m_scratch.filePath("dhcpcd-on-path") + ':' + environment.value("PATH"));
    netsh.setProcessEnvironment(environment);
    const QString arguments = "interface ip set " + command.section(' ', 0, 0) + " name=vf0 " + command.section(' ', 1);
    if (meddling == "cmd.exe killed")
        netsh.start(testnet::tool("cmd.exe"), {"/c", "netsh " + arguments});
    else
        netsh.start(testnet::tool("netsh"), arguments.split(' '));
    QVERIFY(netsh.waitForStarted());
    if (signal) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), 5000);
        kill(pid_t(netsh.processId()), signal);
    }
    QVERIFY2(netsh.waitForFinished(meddling == "locked" ? 25000 : 10000), "netsh ends in time");
    const QString output = netsh.readAll();
    QFile::setPermissions(state, QFile::permissions(state) & ~QFile::WriteGroup);
    if (signal == SIGKILL) // netsh outlives cmd.exe only for its rollback; after its own kill -9 the next run rolls back
        QTRY_VERIFY_WITH_TIMEOUT(testnet::run("pgrep", {"--ns", QString::number(getpid()), "--nslist", "net", "-x", "netsh"}) == 1, 2000);
    else
        QVERIFY2(netsh.exitCode() == 1 && output.contains(message) && output.count('\n') == 1, qPrintable(output));
    QVERIFY(meddling != "netsh killed" || nextRun("vf0"));
    QCOMPARE(testnet::kernelState(), before);
    QVERIFY(signal == SIGKILL || recorded() == recordedBefore);
    QVERIFY2(testnet::run("pgrep", {"--ns", QString::number(getpid()), "--nslist", "net", "-x", "sleep"}) == 1, "the client left a process");
    QVERIFY2(!QFile::exists(m_scratch.filePath("elsewhere")), "the planted link was not followed");
    if (silentBus >= 0)
        close(silentBus);
}

void tst_netsh::killedOrAtOnce_data()
{
    QTest::addColumn<int>("changes"); // started together in each round
    // "killed": the first, late in its change; "locked": all wait while the lock is held here; "DHCP first":
    // the others follow it within 60 ms; "bystanders": locked, beside processes of nobody named like DHCP clients
    QTest::addColumn<QString>("how");
    QTest::newRow("killed") << 1 << "killed";
    QTest::newRow("three at once") << 3 << "locked"; // a race that a missing lock loses now and then
    QTest::newRow("DHCP and three static at once") << 4 << "DHCP first";
    QTest::newRow("beside nobody's DHCP clients") << 3 << "bystanders";
}

// Static changes back and forth, and DHCP: each that ends by itself exits 0,
// and the interface is always in one of them, whole.
void tst_netsh::killedOrAtOnce()
{
    QFETCH(int, changes);
    QFETCH(QString, how);
    const bool killed = how == "killed", locked = !killed && how != "DHCP first";
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
    QProcess bystanders[2];
    for (int i = 0; how == "bystanders" && i < 2; ++i) {
        bystanders[i].start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "perl", "-e",
                                        QString("$0 = '%1'; sleep 60").arg(i ? "dhclient" : "dhcpcd")});
        QVERIFY(bystanders[i].waitForStarted());
    }
    QTest::qWait(how == "bystanders" ? 200 : 0); // named by then
    const int others = clients();
    for (int round = 1; round <= (how == "DHCP first" ? 10 : 20); ++round) {
        QVERIFY(!locked || flock(lock.handle(), LOCK_EX) == 0);
        std::vector<std::unique_ptr<QProcess>> netsh;
        for (int i = 0; i < changes; ++i) {
            netsh.emplace_back(new QProcess);
            netsh.back()->setProcessChannelMode(QProcess::MergedChannels);
            const bool dhcp = how == "DHCP first" && i == 0;
            netsh.back()->start(testnet::tool("netsh"), dhcp ? QString("interface ip set address name=vk0 source=dhcp").split(' ')
                                                             : command((round + i) % 3));
            if (how == "DHCP first")
                usleep(std::uniform_int_distribution<unsigned>(0, 20000)(random));
        }
        if (killed) {
            QVERIFY(netsh[0]->waitForStarted());
            usleep(std::uniform_int_distribution<unsigned>(span / 2, span)(random)); // the kernel changes come late
            kill(pid_t(netsh[0]->processId()), SIGKILL);
        } else if (locked) {
            QVERIFY2(!netsh[0]->waitForFinished(200), "a change went ahead while the interface was locked");
            QVERIFY(flock(lock.handle(), LOCK_UN) == 0);
        }
        for (const auto &change : netsh)
            QVERIFY2(change->waitForFinished(10000) && (killed || change->exitCode() == 0), change->readAll().constData());
        QVERIFY(!killed || nextRun("vk0"));
        const QString config = testnet::configOf("vk0");
        const int running = clients() - others;
        QVERIFY2(config == "|" ? running == 1 : QRegExp("(10\\.93\\.\\d)\\.10/24 \\| \\1\\.1 1 static").exactMatch(config) && !running,
                 qPrintable(QString("round %1: %2, %3 DHCP clients").arg(round).arg(config).arg(running)));
    }
}

void tst_netsh::killedAnywhere_data()
{
    QTest::addColumn<QStringList>("start"); // commands for vd0, after "interface ip set "
    QTest::addColumn<QString>("change");    // killed at a random point
    QTest::addColumn<QString>("next");      // the next run, which changes nothing of either
    const QString manual = "address source=static addr=10.94.0.10 mask=255.255.255.0 gateway=10.94.0.1 gwmetric=1",
                  dns = "dns source=static addr=192.0.2.1";
    QTest::newRow("to DHCP") << QStringList{manual, dns} << "address source=dhcp" << dns;
    QTest::newRow("from DHCP") << QStringList{manual, dns, "address source=dhcp"} << manual << dns;
    QTest::newRow("DNS") << QStringList{manual, dns} << "dns source=static addr=198.51.100.7" << manual;
}

// kill -9 anywhere in a change, then the next run: the interface, its record,
// the resolver and the DHCP client are as before the change or as after it,
// and the next run is never refused.
void tst_netsh::killedAnywhere()
{
    QFETCH(QStringList, start);
    QFETCH(QString, change);
    QFETCH(QString, next);
    m_peers.emplace_back(new testnet::Peer("vd0", "10.94.0.1/24"));
    QVERIFY(m_peers.back()->ok());
    const QString program = testnet::tool("netsh");
    const auto netsh = [](const QString &command) {
        return QString("interface ip set %1 name=vd0 %2").arg(command.section(' ', 0, 0), command.section(' ', 1)).split(' ');
    };
    const auto state = [] {
        QFile record(QString::fromStdString(records::namespaceDir()) + "/vd0.state"), resolver("/etc/resolv.conf");
        record.open(QIODevice::ReadOnly) && resolver.open(QIODevice::ReadOnly);
        return testnet::configOf("vd0") + QString(" clients %1\n").arg(clients())
            + QString(record.readAll()).remove(QRegExp("client(Pid|Mounts)=\\d+")) + resolver.readAll();
    };
    const auto reset = [&] {
        for (const QString &command : start)
            QProcess::execute(program, netsh(command));
        return state();
    };
    const QString before = reset();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(QProcess::execute(program, netsh(change)), 0);
    const qint64 span = timer.nsecsElapsed() / 1000;
    QTest::qWait(200); // what a client starts settles
    const QString after = state();
    QVERIFY2(!change.startsWith("dns ") || after.endsWith("nameserver 198.51.100.7\n"), qPrintable(after));
    const unsigned seed = qEnvironmentVariableIsSet("VANTOREL_TEST_SEED") ? qEnvironmentVariableIntValue("VANTOREL_TEST_SEED") : unsigned(time(nullptr));
    qInfo("kills at random points, seed %u (VANTOREL_TEST_SEED)", seed);
    std::mt19937 random(seed);
    for (int kill9 = 1; kill9 <= 12; ++kill9) {
        QCOMPARE(reset(), before);
        QProcess killed;
        killed.start(program, netsh(change));
        QVERIFY(killed.waitForStarted());
        usleep(std::uniform_int_distribution<unsigned>(0, unsigned(span))(random));
        kill(pid_t(killed.processId()), SIGKILL);
        killed.waitForFinished();
        QString output;
        QVERIFY2(testnet::run(program, netsh(next), &output) == 0, qPrintable(output));
        QTest::qWait(200);
        const QString now = state();
        QVERIFY2(now == before || now == after, qPrintable(QString("kill %1: %2").arg(kill9).arg(now)));
    }
}

void tst_netsh::otherClients_data()
{
    QTest::addColumn<bool>("besideOurs"); // in the mount namespace of the client netsh started
    QTest::newRow("root's dhcpcd") << false;
    QTest::newRow("a helper of netsh's client, orphaned") << true;
}

// A root process named dhcpcd, with no command line to tell which interface it
// serves, serves them all: a change is refused, unless the process shares the
// mount namespace of the client netsh started, as a helper whose client has
// just ended does; then it ends with that client.
void tst_netsh::otherClients()
{
    QFETCH(bool, besideOurs);
    m_peers.emplace_back(new testnet::Peer("vo0", "10.95.0.1/24"));
    QVERIFY(m_peers.back()->ok());
    const QString netsh = testnet::tool("netsh");
    QCOMPARE(QProcess::execute(netsh, QString("interface ip set address name=vo0 source=dhcp").split(' ')), 0);
    QFile record(QString::fromStdString(records::namespaceDir()) + "/vo0.state");
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QString ours = QString(record.readAll()).section("clientPid=", 1).section('\n', 0, 0);
    QProcess helper;
    helper.start("nsenter", QStringList{"--mount=/proc/" + ours + "/ns/mnt"}.mid(besideOurs ? 0 : 1)
                                << "perl" << "-e" << "$0 = 'dhcpcd'; sleep 60");
    QVERIFY(helper.waitForStarted());
    QTest::qWait(300); // named by then
    QString output;
    const int code = testnet::run(netsh, QString("interface ip set address name=vo0 source=static addr=10.95.0.10 mask=255.255.255.0").split(' '),
                                  &output);
    QCOMPARE(code, besideOurs ? 0 : 1);
    QVERIFY2(besideOurs || output.startsWith("'vo0' is managed by dhcpcd (process "), qPrintable(output));
    QCOMPARE(helper.waitForFinished(besideOurs ? 3000 : 0), besideOurs);
    helper.kill();
    helper.waitForFinished();
}

void tst_netsh::largeJournal_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("1 MiB") << (1 << 20);
    QTest::newRow("a byte more") << (1 << 20) + 1;
}

// An unfinished change's journal is read up to 1 MiB. This one was written for an
// earlier interface of the name: read, it is dropped and the change goes ahead;
// larger, it is left for a look and nothing changes.
void tst_netsh::largeJournal()
{
    QFETCH(int, size);
    m_peers.emplace_back(new testnet::Peer("vj0", "10.96.0.1/24"));
    QFile journal(QString::fromStdString(records::namespaceDir()) + "/vj0.journal");
    const int bytes = size - 4; // of ifindex lines of 14 bytes, the first padded with zeros; then "end"
    QVERIFY(m_peers.back()->ok() && journal.open(QIODevice::WriteOnly)
            && journal.write("ifindex " + QByteArray(bytes % 14, '0') + "99999\n" + QByteArray("ifindex 99999\n").repeated(bytes / 14 - 1)
                             + "end\n") == size);
    journal.close();
    QString output;
    const int code = testnet::netsh("interface ip set address name=vj0 source=static addr=10.96.0.10 mask=255.255.255.0", &output);
    const bool read = size <= (1 << 20);
    QVERIFY2(code == (read ? 0 : 1) && (read || output.endsWith("vj0.journal can't be read; it is left for a look.\n")), qPrintable(output));
    QCOMPARE(testnet::configOf("vj0"), QString(read ? "10.96.0.10/24 |" : "|"));
    QCOMPARE(journal.exists(), !read);
}

QTEST_GUILESS_MAIN(tst_netsh)
#include "tst_netsh.moc"
