// IP Helper, the worker's query and the window's interface list against the real kernel
// (with `ip` as the oracle), in CTest's namespace; its links go when the namespace does.
#include "daverirido.h"
#include "iphelper.h"
#include "netns.h"
#include "netstate_linux.h"
#include "windowchanger.h"

#include <QHostAddress>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const QString resolverDns = "192.0.2.53"; // the first IPv4 server of the resolver file

// The interfaces `ip` knows, without loopback.
QStringList linkNames(bool etherOnly)
{
    QStringList names;
    for (const QJsonValue &v : testnet::ipJson({"link", "show"})) {
        const QString type = v.toObject().value("link_type").toString();
        if (type != "loopback" && (!etherOnly || type == "ether"))
            names << v.toObject().value("ifname").toString();
    }
    names.sort();
    return names;
}

// A veth pair, both ends up so that routes through it are accepted, then `ip`
// commands with %1 standing for the interface.
bool makeVeth(const QString &name, const QStringList &commands)
{
    bool ok = testnet::ip({"link", "add", name, "type", "veth", "peer", "name", name + "-p"})
        && testnet::ip({"link", "set", name + "-p", "up"}) && testnet::ip({"link", "set", name, "up"});
    for (const QString &command : commands)
        ok = ok && testnet::ip(command.arg(name).split(' '));
    return ok;
}

// What GetAdaptersInfo says of each adapter, by name: index, type, description,
// MAC, DHCP flag, the address and gateway lists.
using Table = QMap<QString, QStringList>;

Table adapters(DWORD *result = nullptr)
{
    ULONG size = sizeof(IP_ADAPTER_INFO);
    std::vector<char> buffer(size);
    DWORD rc = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size);
        rc = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    }
    if (result)
        *result = rc;
    Table table;
    for (auto e = reinterpret_cast<const IP_ADAPTER_INFO *>(buffer.data()); rc == ERROR_SUCCESS && e; e = e->Next) {
        QStringList mac, addresses, gateways;
        for (UINT i = 0; i < e->AddressLength; ++i)
            mac << QString::asprintf("%02x", e->Address[i]);
        for (const IP_ADDR_STRING *n = &e->IpAddressList; n; n = n->Next)
            addresses << QString::fromLatin1(n->IpAddress.String) + "/" + QString::fromLatin1(n->IpMask.String);
        for (const IP_ADDR_STRING *n = &e->GatewayList; n; n = n->Next)
            gateways << QString::fromLatin1(n->IpAddress.String);
        table.insert(QString::fromLatin1(e->AdapterName),
                     {QString::number(e->Index), QString::number(e->Type), QString::fromLatin1(e->Description),
                      mac.join(':'), QString::number(e->DhcpEnabled), addresses.join(' '), gateways.join(' ')});
    }
    return table;
}

// The same from `ip -j`: every non-loopback link, each veth described as the
// kernel's driver names it, the second and later of a kind numbered as Windows does.
Table oracle()
{
    QMap<QString, QStringList> addresses, gateways;
    for (const QJsonValue &link : testnet::ipJson({"-4", "addr", "show"})) {
        for (const QJsonValue &a : link.toObject().value("addr_info").toArray()) {
            const int prefix = a.toObject().value("prefixlen").toInt();
            addresses[link.toObject().value("ifname").toString()]
                << a.toObject().value("local").toString() + "/" + QHostAddress(prefix ? ~quint32(0) << (32 - prefix) : 0).toString();
        }
    }
    for (const QJsonValue &r : testnet::ipJson({"-4", "route", "show", "default"}))
        gateways[r.toObject().value("dev").toString()] << r.toObject().value("gateway").toString();
    Table table;
    int veths = 0;
    for (const QJsonValue &v : testnet::ipJson({"link", "show"})) {
        const QJsonObject link = v.toObject();
        const QString name = link.value("ifname").toString();
        if (link.value("link_type").toString() != "ether")
            continue;
        const QString description = ++veths == 1 ? "veth" : QString("veth #%1").arg(veths);
        table.insert(name, {QString::number(link.value("ifindex").toInt()), QString::number(MIB_IF_TYPE_ETHERNET), description,
                            link.value("address").toString(), "0",
                            addresses.value(name, {"0.0.0.0/0.0.0.0"}).join(' '), gateways.value(name, {"0.0.0.0"}).join(' ')});
    }
    return table;
}

// Runs `work` in a child process: a change made by another process than the reader.
bool inAnotherProcess(const std::function<bool()> &work)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(work() ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

class tst_iphlpapi_kernel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void adapterTable();
    void recordedState();
    void sameAsIp_data();
    void sameAsIp();
    void changeSeenAtOnce_data();
    void changeSeenAtOnce();
    void threadInAnotherNamespace();

private:
    QTemporaryDir stateDir;
};

void tst_iphlpapi_kernel::initTestCase()
{
    const QString reason = testnet::unavailable();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    QVERIFY(stateDir.isValid());
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(stateDir.path()));
    QVERIFY2(testnet::useResolvConf("# test resolver\nnameserver 2001:db8::53\nnameserver 192.0.2.53\nnameserver 192.0.2.54\n"),
             "could not put a resolver file in place");
}

// An Ethernet adapter with two addresses and two default routes, the lower metric
// added last, beside a tun interface, which has no link-layer header.
void tst_iphlpapi_kernel::adapterTable()
{
    QVERIFY(makeVeth("vt-a", {"addr add 10.50.0.2/24 dev %1", "addr add 10.50.0.3/24 dev %1",
                              "route add default via 10.50.0.254 dev %1 metric 20", "route add default via 10.50.0.1 dev %1 metric 10"}));
    QVERIFY(testnet::ip({"tuntap", "add", "mode", "tun", "vt-t"}));

    QCOMPARE(GetAdaptersInfo(nullptr, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    ULONG needed = 0;
    QCOMPARE(GetAdaptersInfo(nullptr, &needed), DWORD(ERROR_BUFFER_OVERFLOW));
    std::vector<char> buffer(needed + 64, char(0x5a)); // guard bytes after the size reported
    const auto table = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
    ULONG size = needed - 1;
    QCOMPARE(GetAdaptersInfo(table, &size), DWORD(ERROR_BUFFER_OVERFLOW));
    QCOMPARE(size, needed);
    QCOMPARE(GetAdaptersInfo(table, &size), DWORD(ERROR_SUCCESS));
    QVERIFY2(QByteArray(&buffer[needed], 64) == QByteArray(64, char(0x5a)), "written past the size it asked for");
    const auto inside = [&](const void *p, size_t n) { return p >= buffer.data() && static_cast<const char *>(p) + n <= &buffer[needed]; };
    QStringList names, nodes;
    for (const IP_ADAPTER_INFO *e = table; e; e = e->Next) {
        QVERIFY2(inside(e, sizeof *e), "an entry lies outside the buffer");
        names << QString::fromLatin1(e->AdapterName);
        for (const IP_ADDR_STRING *list : {&e->IpAddressList, &e->GatewayList}) {
            for (const IP_ADDR_STRING *n = list; n; n = n->Next) {
                QVERIFY2(inside(n, sizeof *n), qPrintable(names.last() + ": a list node lies outside the buffer"));
                if (names.last() == "vt-a")
                    nodes << QString::fromLatin1(n->IpAddress.String);
            }
        }
    }
    names.sort();
    QCOMPARE(names, linkNames(false));
    QCOMPARE(nodes, (QStringList{"10.50.0.2", "10.50.0.3", "10.50.0.1", "10.50.0.254"}));

    // The worker's record: the first address, the gateway of the lowest metric.
    const QJsonObject first = testnet::ipJson({"-4", "addr", "show", "dev", "vt-a"}).at(0).toObject().value("addr_info").toArray().at(0).toObject();
    QMap<int, QString> gateways;
    for (const QJsonValue &v : testnet::ipJson({"-4", "route", "show", "default", "dev", "vt-a"}))
        gateways.insert(v.toObject().value("metric").toInt(), v.toObject().value("gateway").toString());
    windowChanger changer;
    const adapterRecord &r = changer.getAddress("vt-a");
    QCOMPARE(QList<int>({r.status, r.type, int(r.index), r.dhcpEnabled}), QList<int>({1, MIB_IF_TYPE_ETHERNET, int(if_nametoindex("vt-a")), 0}));
    QCOMPARE(QStringList({r.ipAddress, r.ipMask, r.gateway, r.dnsServer}),
             QStringList({first.value("local").toString(), QHostAddress(~quint32(0) << (32 - first.value("prefixlen").toInt())).toString(),
                          gateways.first(), resolverDns}));
    // The window offers exactly the Ethernet interfaces.
    davErirido window;
    QStringList listed;
    for (int i = 0; i < window.interfaceComboBox->count(); ++i)
        listed << window.interfaceComboBox->itemData(i, Qt::UserRole).toString();
    listed.sort();
    QCOMPARE(listed, linkNames(true));
}

// What netsh recorded wins over what the kernel suggests, as long as the record
// belongs to this interface.
void tst_iphlpapi_kernel::recordedState()
{
    // An address with a lifetime, as a DHCP client leaves it.
    QVERIFY(makeVeth("vt-s", {"addr add 10.70.0.4/24 dev %1 valid_lft 900 preferred_lft 900"}));
    rtnl::Link link;
    QVERIFY(rtnl::linkByName("vt-s", &link));
    windowChanger changer;
    const auto shown = [&changer] {
        const adapterRecord &r = changer.getAddress("vt-s");
        return QStringList{QString::number(r.dhcpEnabled), r.dnsServer, r.dhcpServer};
    };
    QCOMPARE(shown(), (QStringList{"1", resolverDns, ""}));
    QFile lease(QString::fromStdString(netstate::namespaceDir()) + "/vt-s.lease");
    QVERIFY(lease.open(QIODevice::WriteOnly) && lease.write("dns=198.51.100.7 198.51.100.8\nserver=198.51.100.1\n") > 0);
    lease.close();
    QVERIFY(netstate::save(link, {"dhcp", "", "dhcp", "", 0, {}, {}}));
    QCOMPARE(shown(), (QStringList{"1", "198.51.100.7", "198.51.100.1"}));
    QVERIFY(netstate::save(link, {"static", "10.70.0.4/24", "static", "203.0.113.5", 0, {}, {}}));
    QCOMPARE(shown(), (QStringList{"0", "203.0.113.5", ""}));
    rtnl::Link earlier = link;
    earlier.index += 1000;
    QVERIFY(lease.remove() && netstate::save(earlier, {"static", "10.70.0.4/24", "static", "203.0.113.5", 0, {}, {}}));
    QCOMPARE(shown(), (QStringList{"1", resolverDns, ""}));
}

// Only veth pairs, so that each description is the driver's "veth". The pairs
// stay: deleting hundreds of links takes seconds, the namespace's end doesn't.
void tst_iphlpapi_kernel::sameAsIp_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<int>("pairs");
    QTest::newRow("one pair") << "va" << 1;
    QTest::newRow("300 interfaces") << "vb" << 150;
}

void tst_iphlpapi_kernel::sameAsIp()
{
    QFETCH(QString, prefix);
    QFETCH(int, pairs);
    QStringList batch;
    for (int i = 0; i < pairs; ++i) {
        const QString name = prefix + QString::number(i);
        batch << "link add " + name + " type veth peer name " + name + "-p" << "link set " + name + " up"
              << "link set " + name + "-p up" << QString("addr add 10.%1.%2.1/24 dev %3").arg(prefix == "va" ? 59 : 60).arg(i).arg(name);
    }
    batch << "route add default via 10." + QString(prefix == "va" ? "59" : "60") + ".0.254 dev " + prefix + "0 metric " + QString::number(pairs);
    QTemporaryFile file;
    QVERIFY(file.open() && file.write((batch.join('\n') + '\n').toUtf8()) > 0 && file.flush());
    QVERIFY(testnet::ip({"-batch", file.fileName()}));
    Table expected = oracle(), actual = adapters();
    for (Table *t : {&expected, &actual}) {
        for (const QString &name : t->keys()) {
            if (!name.startsWith(prefix))
                t->remove(name);
        }
    }
    QCOMPARE(actual.size(), 2 * pairs);
    QCOMPARE(actual, expected);
}

// A change that another process makes between two reads shows in the second.
void tst_iphlpapi_kernel::changeSeenAtOnce_data()
{
    QTest::addColumn<QString>("change");   // `ip` arguments; "record" writes netsh's record
    QTest::addColumn<int>("field");        // the column of adapters() that it changes
    QTest::addColumn<QString>("expected");
    QTest::newRow("address") << "addr add 10.80.0.9/16 dev vt-c" << 5 << "10.80.0.9/255.255.0.0";
    QTest::newRow("default route") << "route add default via 10.80.0.1 dev vt-c" << 6 << "10.80.0.1";
    QTest::newRow("hardware address") << "link set vt-c address 02:00:00:00:80:01" << 3 << "02:00:00:00:80:01";
    QTest::newRow("record") << "record" << 4 << "1";
}

void tst_iphlpapi_kernel::changeSeenAtOnce()
{
    QFETCH(QString, change);
    QFETCH(int, field);
    QFETCH(QString, expected);
    QVERIFY(makeVeth("vt-c", change == "record" ? QStringList() : QStringList{"addr add 10.80.0.2/16 dev %1"}));
    rtnl::Link link;
    QVERIFY(rtnl::linkByName("vt-c", &link));
    const Table before = adapters();
    QVERIFY(before.contains("vt-c"));
    // `ip` is a process of its own; the record is written by a child.
    QVERIFY(change == "record" ? inAnotherProcess([link] { return netstate::save(link, {"dhcp", "", "", "", 0, {}, {}}); })
                               : testnet::ip(change.split(' ')));
    const QString seen = adapters().value("vt-c").value(field);
    netstate::forget(link);
    testnet::ip({"link", "del", "vt-c"});
    QVERIFY2(seen.split(' ').contains(expected), qPrintable("the second read shows " + seen + ", before: " + before.value("vt-c").value(field)));
}

// A thread, or a forked child, that moved to another network namespace reads
// that namespace, and the rest of the process still reads its own.
void tst_iphlpapi_kernel::threadInAnotherNamespace()
{
    QVERIFY(makeVeth("vt-n", {}));
    QVERIFY(adapters().contains("vt-n"));
    DWORD elsewhere = ERROR_SUCCESS;
    std::thread([&elsewhere] {
        if (unshare(CLONE_NEWNET) == 0)
            adapters(&elsewhere);   // only loopback there: no adapter
    }).join();
    const bool back = adapters().contains("vt-n");
    const bool child = inAnotherProcess([] {
        DWORD rc = ERROR_SUCCESS;
        return unshare(CLONE_NEWNET) == 0 && (adapters(&rc), rc == ERROR_NO_DATA);
    });
    testnet::ip({"link", "del", "vt-n"});
    QCOMPARE(elsewhere, DWORD(ERROR_NO_DATA));
    QVERIFY2(back, "the table of the other namespace was kept");
    QVERIFY2(child, "a forked child in another namespace read its parent's table");
}

QTEST_MAIN(tst_iphlpapi_kernel)
#include "tst_iphlpapi_kernel.moc"
