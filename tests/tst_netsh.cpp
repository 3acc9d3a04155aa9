// The network shell stand-in against the real kernel, reached through the
// command interpreter stand-in as the worker reaches it. Runs in a network
// namespace of its own; a DHCP server answers from a second one.
#include "netns.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>

namespace {

const QString resolvBefore = "# test resolver\nsearch example.test\nnameserver 192.0.2.1\n"
                             "nameserver 192.0.2.2\noptions ndots:1\n";

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

quint64 inode(const char *path)
{
    struct stat st {};
    return stat(path, &st) == 0 ? quint64(st.st_ino) : 0;
}

// "10.0.0.5/24" for every IPv4 address of the interface, in the kernel's order.
QStringList addressesOf(const QString &dev)
{
    QStringList result;
    const QJsonArray links = testnet::ipJson({"-4", "addr", "show", "dev", dev});
    for (const QJsonValue &link : links) {
        for (const QJsonValue &a : link.toObject().value("addr_info").toArray())
            result << a.toObject().value("local").toString() + "/" + QString::number(a.toObject().value("prefixlen").toInt());
    }
    return result;
}

// "gateway metric" for every default route through the interface.
QStringList defaultRoutesOf(const QString &dev)
{
    QStringList result;
    for (const QJsonValue &r : testnet::ipJson({"-4", "route", "show", "default", "dev", dev}))
        result << r.toObject().value("gateway").toString() + " " + QString::number(r.toObject().value("metric").toInt());
    result.sort();
    return result;
}

// The first nameserver line of the resolver this process sees.
QString firstNameserver()
{
    for (const QString &line : readText("/etc/resolv.conf").split('\n')) {
        if (line.startsWith("nameserver "))
            return line.section(' ', 1, 1);
    }
    return QString();
}

bool isDhcpClient(int pid)
{
    return pid > 0 && readText(QString("/proc/%1/comm").arg(pid)) == "dhcpcd\n"
        && !readText(QString("/proc/%1/stat").arg(pid)).section(')', -1).startsWith(" Z");
}

// Polls `condition` every 100 ms for at most `milliseconds`.
template <typename Condition>
bool waitFor(Condition condition, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QThread::msleep(100);
    }
    return true;
}

} // namespace

class tst_netsh : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void refused_data();
    void refused();
    void staticAddress_data();
    void staticAddress();
    void staticDns();
    void leaseHook_data();
    void leaseHook();
    void dhcpThenStatic();
    void shellCharactersInName_data();
    void shellCharactersInName();
    void failureLeavesInterface_data();
    void failureLeavesInterface();

private:
    struct Result {
        int code = -1;
        QString output;
    };
    // `cmd.exe /c "netsh <command>"`, %1 in the command standing for the interface.
    Result netsh(const QString &command, const QStringList &wrapper = QStringList(),
                 const QString &extraPath = QString());
    // Everything a refused command must leave alone.
    QString observable() const;
    QString stateFile(const QString &ifname) const { return m_namespaceDir + "/" + ifname + ".state"; }
    QString stateValue(const QString &key) const;
    bool makePeer(const QString &farAddress);
    // Gives the interface addresses ("a.b.c.d/nn") and default routes
    // ("gateway metric") as a configuration tool leaves them.
    bool configure(const QStringList &addresses, const QStringList &routes);
    void stopClients();

    QTemporaryDir m_state;
    QTemporaryDir m_scratch;
    QString m_cmd;
    QString m_namespaceDir;
    std::unique_ptr<testnet::Peer> m_peer;
    const QString m_if = "vn0";
};

void tst_netsh::initTestCase()
{
    const QString reason = testnet::unavailable();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    m_cmd = qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/cmd.exe";
    QVERIFY2(QFile::exists(m_cmd), qPrintable("no interpreter at " + m_cmd + " (set VANTOREL_BUILD_DIR)"));
    QVERIFY(m_state.isValid() && m_scratch.isValid());
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
    m_namespaceDir = m_state.path() + "/net-" + QString::number(inode("/proc/self/ns/net"));
    QVERIFY(QDir().mkpath(m_scratch.filePath("work")));
}

void tst_netsh::init()
{
    QVERIFY(testnet::useResolvConf(resolvBefore));
    QDir(m_namespaceDir).removeRecursively();
}

void tst_netsh::cleanup()
{
    stopClients();
    m_peer.reset();
}

void tst_netsh::stopClients()
{
    // Every DHCP client of this namespace, recorded or not, dies with the test.
    const quint64 ownNet = inode("/proc/self/ns/net");
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        const int pid = entry.toInt();
        if (isDhcpClient(pid) && inode(qPrintable(QString("/proc/%1/ns/net").arg(pid))) == ownNet) {
            kill(pid, SIGTERM);
            if (!waitFor([pid] { return !isDhcpClient(pid); }, 3000))
                kill(pid, SIGKILL);
        }
    }
}

bool tst_netsh::makePeer(const QString &farAddress)
{
    m_peer.reset(new testnet::Peer(m_if, farAddress));
    return m_peer->ok();
}

bool tst_netsh::configure(const QStringList &addresses, const QStringList &routes)
{
    for (const QString &a : addresses) {
        if (!testnet::ip({"addr", "add", a, "brd", "+", "dev", m_if}))
            return false;
    }
    for (const QString &r : routes) {
        if (!testnet::ip({"route", "add", "default", "via", r.section(' ', 0, 0), "dev", m_if,
                          "metric", r.section(' ', 1), "proto", "static"}))
            return false;
    }
    return true;
}

tst_netsh::Result tst_netsh::netsh(const QString &command, const QStringList &wrapper, const QString &extraPath)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(m_scratch.filePath("work"));
    if (!extraPath.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH", extraPath + ":" + environment.value("PATH"));
        process.setProcessEnvironment(environment);
    }
    const QStringList cmd = {m_cmd, "/c", "netsh " + (command.contains("%1") ? command.arg(m_if) : command)};
    const QStringList line = wrapper + cmd;
    process.start(line.first(), line.mid(1));
    Result result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(1000);
        result.output = "netsh did not end within 30 s";
        return result;
    }
    result.output = QString::fromLocal8Bit(process.readAll());
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

QString tst_netsh::observable() const
{
    auto json = [](const QStringList &arguments) {
        return QString::fromUtf8(QJsonDocument(testnet::ipJson(arguments)).toJson(QJsonDocument::Compact));
    };
    return "addresses: " + json({"-4", "addr", "show", "dev", m_if}) + "\nroutes: " + json({"-4", "route", "show"})
        + "\nrecord: " + readText(stateFile(m_if)) + "\nresolver: " + readText("/etc/resolv.conf")
        + "\nfiles: " + QDir(m_namespaceDir).entryList(QDir::Files).join(' ');
}

QString tst_netsh::stateValue(const QString &key) const
{
    for (const QString &line : readText(stateFile(m_if)).split('\n')) {
        if (line.startsWith(key + "="))
            return line.mid(key.size() + 1);
    }
    return QString();
}

void tst_netsh::refused_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("down");
    QTest::addColumn<QString>("message");

    const QString addr = "interface ip set address name=%1 source=static ";
    const QString good = "addr=10.60.0.9 mask=255.255.255.0 gateway=10.60.0.1 gwmetric=1";
    QTest::newRow("unknown command") << "interface ip set route name=%1 source=dhcp" << false << "was not found";
    QTest::newRow("IPv6 context") << "interface ipv6 set address name=%1 source=dhcp" << false << "was not found";
    QTest::newRow("no source") << "interface ip set address name=%1" << false << "'source' is missing";
    QTest::newRow("no name") << "interface ip set address source=dhcp" << false << "'name' is missing";
    QTest::newRow("empty name") << "interface ip set address name=\"\" source=dhcp" << false << "'name' is missing";
    QTest::newRow("unknown source") << "interface ip set address name=%1 source=auto" << false << "Invalid source";
    QTest::newRow("no mask") << addr + "addr=10.60.0.9" << false << "'mask' is missing";
    QTest::newRow("unknown keyword") << addr + good + " colour=blue" << false << "'colour' is not a parameter";
    QTest::newRow("dns keyword for address") << addr + good + " register=primary" << false << "'register' is not a parameter";
    QTest::newRow("positional value") << addr + "10.60.0.9 mask=255.255.255.0" << false << "keyword=value";
    QTest::newRow("keyword twice") << addr + good + " ADDR=10.60.0.8" << false << "given twice";
    QTest::newRow("octet too big") << addr + "addr=10.60.0.256 mask=255.255.255.0" << false << "Invalid addr";
    QTest::newRow("leading zero") << addr + "addr=10.60.0.09 mask=255.255.255.0" << false << "Invalid addr";
    QTest::newRow("subnet's own number") << addr + "addr=10.60.0.0 mask=255.255.255.0" << false << "not a host address";
    QTest::newRow("broadcast address") << addr + "addr=10.60.0.255 mask=255.255.255.0" << false << "not a host address";
    QTest::newRow("multicast") << addr + "addr=224.0.0.9 mask=255.255.255.0" << false << "not a host address";
    QTest::newRow("loopback address") << addr + "addr=127.0.0.9 mask=255.0.0.0" << false << "not a host address";
    QTest::newRow("holes in mask") << addr + "addr=10.60.0.9 mask=255.255.0.255" << false << "contiguous";
    QTest::newRow("empty mask") << addr + "addr=10.60.0.9 mask=0.0.0.0" << false << "Invalid mask";
    QTest::newRow("gateway elsewhere") << addr + "addr=10.60.0.9 mask=255.255.255.0 gateway=10.61.0.1" << false << "not in the subnet";
    QTest::newRow("gateway is the address") << addr + "addr=10.60.0.9 mask=255.255.255.0 gateway=10.60.0.9" << false << "not another host";
    QTest::newRow("gateway is broadcast") << addr + "addr=10.60.0.9 mask=255.255.255.0 gateway=10.60.0.255" << false << "not another host";
    QTest::newRow("metric not a number") << addr + "addr=10.60.0.9 mask=255.255.255.0 gateway=10.60.0.1 gwmetric=one" << false << "Invalid gwmetric";
    QTest::newRow("metric too big") << addr + "addr=10.60.0.9 mask=255.255.255.0 gateway=10.60.0.1 gwmetric=10000" << false << "Invalid gwmetric";
    QTest::newRow("metric without gateway") << addr + "addr=10.60.0.9 mask=255.255.255.0 gwmetric=1" << false << "without a gateway";
    QTest::newRow("address with dhcp") << "interface ip set address name=%1 source=dhcp addr=10.60.0.9" << false << "can't be given with source=dhcp";
    QTest::newRow("dns without addr") << "interface ip set dns name=%1 source=static register=primary" << false << "'addr' is missing";
    QTest::newRow("dns multicast") << "interface ip set dns name=%1 source=static addr=239.1.1.1" << false << "not the address of a DNS server";
    QTest::newRow("dns bad register") << "interface ip set dns name=%1 source=static addr=10.60.0.53 register=secondary" << false << "Invalid register";
    QTest::newRow("unknown interface") << "interface ip set address name=nosuch0 source=static " + good << false << "no interface named 'nosuch0'";
    QTest::newRow("loopback interface") << "interface ip set address name=lo source=dhcp" << false << "loopback";
    QTest::newRow("disabled interface, static") << addr + good << true << "disabled";
    QTest::newRow("disabled interface, dhcp") << "interface ip set address name=%1 source=dhcp" << true << "disabled";
}

void tst_netsh::refused()
{
    QFETCH(QString, command);
    QFETCH(bool, down);
    QFETCH(QString, message);
    QVERIFY(makePeer("10.60.0.1/24"));
    QVERIFY(configure({"10.60.0.5/24"}, {"10.60.0.1 7"}));
    if (down)
        QVERIFY(testnet::ip({"link", "set", m_if, "down"}));
    // A record from an earlier command must survive as well.
    QCOMPARE(netsh("interface ip set dns name=%1 source=static addr=192.0.2.1").code, 0);
    const QString before = observable();

    const Result result = netsh(command);
    QVERIFY2(result.code == 1, qPrintable(QString("exit code %1: %2").arg(result.code).arg(result.output)));
    QVERIFY2(result.output.contains(message), qPrintable(result.output));
    QVERIFY2(result.output.count('\n') == 1, qPrintable("not one line: " + result.output));
    const QString after = observable();
    QVERIFY2(after == before, qPrintable("changed:\n" + before + "\n---\n" + after));
}

void tst_netsh::staticAddress_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QStringList>("routes");   // "gateway metric"

    QTest::newRow("nothing yet") << QStringList() << QStringList();
    QTest::newRow("another subnet") << QStringList{"172.16.5.5/16"} << QStringList{"172.16.0.1 3"};
    // The new address joins the old one's subnet as a secondary, which the
    // kernel drops when the old primary goes.
    QTest::newRow("same subnet") << QStringList{"10.61.0.7/24"} << QStringList{"10.61.0.1 7"};
    QTest::newRow("several, with secondaries")
        << QStringList{"10.61.0.7/24", "10.61.0.8/24", "192.168.9.9/24", "192.168.9.10/24"}
        << QStringList{"10.61.0.1 5", "192.168.9.1 9"};
    QTest::newRow("already so") << QStringList{"10.61.0.20/24"} << QStringList{"10.61.0.1 1"};
    QTest::newRow("same address, other mask") << QStringList{"10.61.0.20/16"} << QStringList{"10.61.0.1 1"};
}

void tst_netsh::staticAddress()
{
    QFETCH(QStringList, addresses);
    QFETCH(QStringList, routes);
    QVERIFY(makePeer("10.61.0.1/24"));
    QVERIFY(configure(addresses, routes));

    const Result result = netsh("interface ip set address name=\"%1\" source=static addr=10.61.0.20 "
                                "mask=255.255.255.0 gateway=10.61.0.1 gwmetric=1");
    QVERIFY2(result.code == 0 && result.output.isEmpty(), qPrintable(result.output));
    QCOMPARE(addressesOf(m_if), QStringList{"10.61.0.20/24"});
    QCOMPARE(defaultRoutesOf(m_if), QStringList{"10.61.0.1 1"});
    QCOMPARE(stateValue("method"), QString("static"));
}

void tst_netsh::staticDns()
{
    QVERIFY(makePeer("10.61.0.1/24"));
    const QString head = "# test resolver\nsearch example.test\n";
    const QString tail = "options ndots:1\n";

    QCOMPARE(netsh("interface ip set dns name=\"%1\" source=static addr=10.61.0.53 register=primary").code, 0);
    QCOMPARE(readText("/etc/resolv.conf"), head + "nameserver 10.61.0.53\nnameserver 192.0.2.2\n" + tail);
    QCOMPARE(stateValue("dnsSource"), QString("static"));
    QCOMPARE(stateValue("staticDns"), QString("10.61.0.53"));

    // A server that is listed further down is not listed twice.
    QCOMPARE(netsh("interface ip set dns name=%1 source=static addr=192.0.2.2").code, 0);
    QCOMPARE(readText("/etc/resolv.conf"), head + "nameserver 192.0.2.2\n" + tail);

    // Without a lease there is no server to go back to: the static one goes.
    QCOMPARE(netsh("INTERFACE IP SET DNS NAME=%1 SOURCE=DHCP").code, 0);
    QCOMPARE(readText("/etc/resolv.conf"), head + tail);
    QCOMPARE(stateValue("dnsSource"), QString("dhcp"));
    QCOMPARE(stateValue("staticDns"), QString());
}

void tst_netsh::leaseHook_data()
{
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("staticDns");
    QTest::addColumn<bool>("folderGiven");    // as netsh starts the client; else found from the state root
    QTest::addColumn<QString>("lease");       // empty: no lease file afterwards
    QTest::addColumn<QString>("resolver");

    const QString head = "# test resolver\nsearch example.test\n";
    const QString leased = "dns=10.9.0.53 192.0.2.2\nserver=10.9.0.1\n";
    const QString fromLease = head + "nameserver 10.9.0.53\nnameserver 192.0.2.2\noptions ndots:1\n";
    QTest::newRow("bound") << "BOUND" << false << true << leased << fromLease;
    QTest::newRow("renew, state root only") << "RENEW" << false << false << leased << fromLease;
    QTest::newRow("reboot, static DNS kept") << "REBOOT" << true << true << leased << resolvBefore;
    QTest::newRow("expire") << "EXPIRE" << false << true << QString() << resolvBefore;
    QTest::newRow("nak") << "NAK" << false << true << QString() << resolvBefore;
    QTest::newRow("carrier") << "CARRIER" << false << true << "old" << resolvBefore;
}

void tst_netsh::leaseHook()
{
    QFETCH(QString, reason);
    QFETCH(bool, staticDns);
    QFETCH(bool, folderGiven);
    QFETCH(QString, lease);
    QFETCH(QString, resolver);
    QVERIFY(QDir().mkpath(m_namespaceDir));
    const QString leaseFile = m_namespaceDir + "/" + m_if + ".lease";
    QFile old(leaseFile);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();
    QFile state(stateFile(m_if));
    QVERIFY(state.open(QIODevice::WriteOnly));
    state.write(staticDns ? "dnsSource=static\nstaticDns=192.0.2.1\n" : "dnsSource=dhcp\n");
    state.close();

    // dhcpcd gives its hook nothing of its own environment but PATH and -e values.
    QProcessEnvironment environment;
    environment.insert("PATH", qEnvironmentVariable("PATH"));
    if (folderGiven)
        environment.insert("VANTOREL_NAMESPACE_DIR", m_namespaceDir);
    else
        environment.insert("VANTOREL_STATE_DIR", m_state.path());
    environment.insert("reason", reason);
    environment.insert("interface", m_if);
    environment.insert("new_domain_name_servers", "10.9.0.53 192.0.2.2");
    environment.insert("new_dhcp_server_identifier", "10.9.0.1");
    QProcess hook;
    hook.setProcessEnvironment(environment);
    hook.setProcessChannelMode(QProcess::MergedChannels);
    hook.start(qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/dhcp-hook", QStringList());
    QVERIFY2(hook.waitForFinished(10000) && hook.exitCode() == 0, qPrintable(hook.readAll()));
    QVERIFY2(hook.readAll().isEmpty(), "the hook printed something");

    QCOMPARE(readText(leaseFile), lease);
    QCOMPARE(readText("/etc/resolv.conf"), resolver);
}

void tst_netsh::dhcpThenStatic()
{
    QVERIFY(makePeer("10.62.0.1/24"));
    QVERIFY(m_peer->startDhcp("10.62.0.50", "10.62.0.60", "10.62.0.53"));
    QVERIFY(configure({"10.62.0.9/24"}, {"10.62.0.1 3"}));

    QElapsedTimer timer;
    timer.start();
    Result result = netsh("interface ip set address name=\"%1\" source=dhcp");
    QVERIFY2(result.code == 0 && result.output.isEmpty(), qPrintable(result.output));
    QVERIFY2(timer.elapsed() < 10000, "netsh waited for the lease instead of leaving it to the client");
    QVERIFY2(!addressesOf(m_if).contains("10.62.0.9/24"), "the static address stayed");
    QVERIFY2(!defaultRoutesOf(m_if).contains("10.62.0.1 3"), "the static gateway stayed");
    result = netsh("interface ip set dns name=\"%1\" source=dhcp");
    QVERIFY2(result.code == 0 && result.output.isEmpty(), qPrintable(result.output));

    const auto leased = [this] {
        for (const QString &a : addressesOf(m_if)) {
            const int last = a.section('/', 0, 0).section('.', 3).toInt();
            if (a.startsWith("10.62.0.") && last >= 50 && last <= 60 && a.endsWith("/24"))
                return true;
        }
        return false;
    };
    QVERIFY2(waitFor(leased, 30000), qPrintable("no lease within 30 s: " + addressesOf(m_if).join(' ')));
    const int client = stateValue("clientPid").toInt();
    QVERIFY2(isDhcpClient(client), "the DHCP client did not outlive netsh");
    QCOMPARE(stateValue("method"), QString("dhcp"));
    const QString lease = m_namespaceDir + "/" + m_if + ".lease";
    QVERIFY2(waitFor([&] { return readText(lease).contains("server=10.62.0.1"); }, 5000), qPrintable(readText(lease)));
    QVERIFY2(readText(lease).contains("dns=10.62.0.53"), qPrintable(readText(lease)));
    QVERIFY2(waitFor([] { return firstNameserver() == "10.62.0.53"; }, 5000), qPrintable(readText("/etc/resolv.conf")));

    // Asking again keeps the running client.
    QCOMPARE(netsh("interface ip set address name=%1 source=dhcp").code, 0);
    QCOMPARE(stateValue("clientPid").toInt(), client);

    // A static server wins over the lease's, and DHCP brings the lease's back.
    QCOMPARE(netsh("interface ip set dns name=%1 source=static addr=10.62.0.99 register=primary").code, 0);
    QCOMPARE(firstNameserver(), QString("10.62.0.99"));
    QCOMPARE(netsh("interface ip set dns name=%1 source=dhcp").code, 0);
    QCOMPARE(firstNameserver(), QString("10.62.0.53"));

    result = netsh("interface ip set address name=\"%1\" source=static addr=10.62.0.20 mask=255.255.255.0 "
                   "gateway=10.62.0.1 gwmetric=1");
    QVERIFY2(result.code == 0 && result.output.isEmpty(), qPrintable(result.output));
    QVERIFY2(!isDhcpClient(client), "the DHCP client still runs");
    QCOMPARE(addressesOf(m_if), QStringList{"10.62.0.20/24"});
    QCOMPARE(defaultRoutesOf(m_if), QStringList{"10.62.0.1 1"});
    QVERIFY2(!QFile::exists(lease), "the old lease is still on record");
    QCOMPARE(stateValue("method"), QString("static"));
    QCOMPARE(stateValue("clientPid").toInt(), 0);
}

void tst_netsh::shellCharactersInName_data()
{
    QTest::addColumn<QString>("name");
    // Each would make a file "x" if any part of it reached a shell.
    QTest::newRow("command substitution") << "$(touch${IFS}x)";
    QTest::newRow("backquotes") << "`touch${IFS}x`";
    QTest::newRow("separator") << "a;touch${IFS}x";
    QTest::newRow("and, pipe, redirect") << "a&b|c>x";
}

void tst_netsh::shellCharactersInName()
{
    QFETCH(QString, name);
    QVERIFY(testnet::ip({"link", "add", "name", name, "type", "veth", "peer", "name", "shp0"}));
    const auto removeLink = qScopeGuard([] { testnet::run("ip", {"link", "del", "shp0"}); });
    QVERIFY(testnet::ip({"link", "set", name, "up"}));

    const Result result = netsh("interface ip set address name=\"" + name + "\" source=static "
                                "addr=10.63.0.5 mask=255.255.255.0 gateway=10.63.0.1 gwmetric=1");
    QVERIFY2(result.code == 0 && result.output.isEmpty(), qPrintable(result.output));
    QCOMPARE(addressesOf(name), QStringList{"10.63.0.5/24"});
    const QStringList made = QDir(m_scratch.filePath("work")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    QVERIFY2(made.isEmpty(), qPrintable("part of the name was run by a shell: " + made.join(' ')));
}

void tst_netsh::failureLeavesInterface_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("withoutNetAdmin");
    QTest::addColumn<QString>("fakeClient");   // a dhcpcd that misbehaves, empty for the real one
    QTest::addColumn<QString>("message");

    const QString toStatic = "interface ip set address name=%1 source=static addr=10.64.0.20 mask=255.255.0.0 "
                             "gateway=10.64.0.1 gwmetric=2";
    const QString toDhcp = "interface ip set address name=%1 source=dhcp";
    QTest::newRow("static, kernel refuses") << toStatic << true << QString() << "Operation not permitted";
    QTest::newRow("dhcp, kernel refuses") << toDhcp << true << QString() << "Operation not permitted";
    // By then the static addresses are gone and must come back.
    QTest::newRow("DHCP client fails to start")
        << toDhcp << false << "#!/bin/sh\necho 'no such interface' >&2\nexit 1\n" << "no such interface";
    QTest::newRow("DHCP client ends at once") << toDhcp << false << "#!/bin/sh\nexit 0\n" << "did not keep running";
}

void tst_netsh::failureLeavesInterface()
{
    QFETCH(QString, command);
    QFETCH(bool, withoutNetAdmin);
    QFETCH(QString, fakeClient);
    QFETCH(QString, message);
    QVERIFY(makePeer("10.64.0.1/24"));
    QVERIFY(configure({"10.64.0.5/24", "10.64.0.6/24"}, {"10.64.0.1 4"}));
    QCOMPARE(netsh("interface ip set dns name=%1 source=static addr=10.64.0.53").code, 0);

    QStringList wrapper;
    if (withoutNetAdmin) {
        if (QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("setpriv (util-linux) is needed to drop CAP_NET_ADMIN");
        wrapper = QStringList{"setpriv", "--inh-caps=-all", "--bounding-set=-net_admin"};
    }
    QString fakeDir;
    if (!fakeClient.isEmpty()) {
        fakeDir = m_scratch.filePath("fakebin");
        QVERIFY(QDir().mkpath(fakeDir));
        QFile fake(fakeDir + "/dhcpcd");
        QVERIFY(fake.open(QIODevice::WriteOnly));
        fake.write(fakeClient.toUtf8());
        fake.close();
        QVERIFY(fake.setPermissions(fake.permissions() | QFile::ExeOwner));
    }
    const QString before = observable();

    const Result result = netsh(command, wrapper, fakeDir);
    QVERIFY2(result.code == 1, qPrintable(QString("exit code %1: %2").arg(result.code).arg(result.output)));
    QVERIFY2(result.output.contains(message), qPrintable(result.output));
    QVERIFY2(result.output.count('\n') == 1, qPrintable("not one line: " + result.output));
    const QString after = observable();
    QVERIFY2(after == before, qPrintable("changed:\n" + before + "\n---\n" + after));
}

QTEST_GUILESS_MAIN(tst_netsh)
#include "tst_netsh.moc"
