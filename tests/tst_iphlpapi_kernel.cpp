// IP Helper, the worker's adapter query and the window's interface list against
// the real kernel, in the network namespace CTest gives this test, with `ip` as
// the oracle.
#include "daverirido.h"
#include "iphlpapi.h"
#include "netns.h"
#include "netstate_linux.h"
#include "rtnl_linux.h"
#include "windowchanger.h"

#include <QDir>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <vector>

namespace {

const char resolvConf[] = "# test resolver\n"
                          "nameserver 2001:db8::53\n"
                          "nameserver 192.0.2.53\n"
                          "nameserver 192.0.2.54\n";
const char resolverDns[] = "192.0.2.53";

struct Expected {
    QString ip = "0.0.0.0";         // IP Helper's placeholders for "none"
    QString mask = "0.0.0.0";
    QString gateway = "0.0.0.0";
    int index = 0;
    QString mac;
};

// What `ip -j` says about the interface, in IP Helper's terms.
Expected fromIp(const QString &name)
{
    Expected e;
    const QJsonObject link = testnet::ipJson({"link", "show", "dev", name}).at(0).toObject();
    e.index = link.value("ifindex").toInt();
    e.mac = link.value("address").toString().toUpper().replace(':', '-');
    const QJsonArray addresses =
        testnet::ipJson({"-4", "addr", "show", "dev", name}).at(0).toObject().value("addr_info").toArray();
    if (!addresses.isEmpty()) {
        const QJsonObject first = addresses.at(0).toObject();
        e.ip = first.value("local").toString();
        const int prefix = first.value("prefixlen").toInt();
        e.mask = QHostAddress(prefix ? ~quint32(0) << (32 - prefix) : 0).toString();
    }
    int best = -1;
    for (const QJsonValue &v : testnet::ipJson({"-4", "route", "show", "default"})) {
        const QJsonObject route = v.toObject();
        const int metric = route.value("metric").toInt();
        if (route.value("dev").toString() == name && route.contains("gateway") && (best < 0 || metric < best)) {
            best = metric;
            e.gateway = route.value("gateway").toString();
        }
    }
    return e;
}

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

// Runs each `ip` command with %1 standing for the interface.
bool ipAll(const QStringList &commands, const QString &name)
{
    for (const QString &command : commands) {
        if (!testnet::ip(command.arg(name).split(' ', Qt::SkipEmptyParts)))
            return false;
    }
    return true;
}

template <typename T>
bool inside(const void *p, const std::vector<char> &buffer, ULONG size)
{
    const char *c = static_cast<const char *>(p);
    return c >= buffer.data() && c + sizeof(T) <= buffer.data() + size;
}

// Walks the list the way a caller does and checks that every entry and node
// lies inside the first `size` bytes; the adapter names in order.
QStringList walk(const std::vector<char> &buffer, ULONG size, QString *fault)
{
    QStringList names;
    for (auto *e = reinterpret_cast<const IP_ADAPTER_INFO *>(buffer.data()); e; e = e->Next) {
        if (!inside<IP_ADAPTER_INFO>(e, buffer, size)) {
            *fault = QStringLiteral("entry %1 outside the buffer").arg(names.size());
            return names;
        }
        names << QString::fromLatin1(e->AdapterName);
        if (e->CurrentIpAddress != &e->IpAddressList)
            *fault = names.last() + ": CurrentIpAddress does not point at IpAddressList";
        for (const IP_ADDR_STRING *list : {&e->IpAddressList, &e->GatewayList}) {
            for (auto *n = list->Next; n; n = n->Next) {
                if (!inside<IP_ADDR_STRING>(n, buffer, size)) {
                    *fault = names.last() + ": list node outside the buffer";
                    return names;
                }
            }
        }
    }
    return names;
}

QStringList dnsList(const IP_PER_ADAPTER_INFO *info)
{
    QStringList servers;
    for (const IP_ADDR_STRING *n = &info->DnsServerList; n; n = n->Next)
        servers << QString::fromLatin1(n->IpAddress.String);
    return servers;
}

} // namespace

class tst_iphlpapi_kernel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void query_data();
    void query();
    void adapterBuffer();
    void perAdapter_data();
    void perAdapter();
    void types_data();
    void types();
    void recordedState_data();
    void recordedState();
    void kernelChanges();

private:
    bool makeVeth(const QString &name);

    QTemporaryDir stateDir;
    QStringList made;
};

void tst_iphlpapi_kernel::initTestCase()
{
    const QString reason = testnet::unavailable();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    QVERIFY(stateDir.isValid());
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(stateDir.path()));
    QVERIFY2(testnet::useResolvConf(resolvConf), "could not put a resolver file in place");
}

void tst_iphlpapi_kernel::cleanup()
{
    for (const QString &name : qAsConst(made))
        testnet::run("ip", {"link", "del", name});
    made.clear();
    QDir state(QString::fromStdString(netstate::namespaceDir()));
    for (const QString &file : state.entryList(QDir::Files))
        state.remove(file);
}

// A veth pair, both ends up, so that routes through it are accepted.
bool tst_iphlpapi_kernel::makeVeth(const QString &name)
{
    made << name;
    return testnet::ip({"link", "add", name, "type", "veth", "peer", "name", name + "-p"})
        && testnet::ip({"link", "set", name + "-p", "up"}) && testnet::ip({"link", "set", name, "up"});
}

void tst_iphlpapi_kernel::query_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<int>("dhcpEnabled");

    QTest::newRow("two addresses, two gateways")
        << QStringList{"addr add 10.50.0.2/24 dev %1", "addr add 10.50.0.3/24 dev %1",
                       "route add default via 10.50.0.254 dev %1 metric 20",
                       "route add default via 10.50.0.1 dev %1 metric 10"}
        << 0;
    QTest::newRow("primary before secondary of an earlier subnet")
        << QStringList{"addr add 10.52.0.9/24 dev %1", "addr add 10.52.0.10/24 dev %1",
                       "addr add 172.16.5.1/16 dev %1"}
        << 0;
    QTest::newRow("address with a lifetime, as a DHCP client leaves it")
        << QStringList{"addr add 10.51.0.7/16 dev %1 valid_lft 600 preferred_lft 600",
                       "route add default via 10.51.0.1 dev %1"}
        << 1;
    QTest::newRow("no address yet") << QStringList{} << 0;
}

void tst_iphlpapi_kernel::query()
{
    QFETCH(QStringList, setup);
    QFETCH(int, dhcpEnabled);
    const QString name = "vt-q0";
    QVERIFY(makeVeth(name));
    QVERIFY(ipAll(setup, name));
    const Expected e = fromIp(name);

    windowChanger changer;
    const adapterRecord &r = changer.getAddress(name);
    QCOMPARE(r.adapterName, name);
    QCOMPARE(r.status, 1);
    QCOMPARE(int(r.type), MIB_IF_TYPE_ETHERNET);
    QCOMPARE(int(r.index), e.index);
    QCOMPARE(r.macAddress, e.mac);
    QCOMPARE(r.ipAddress, e.ip);
    QCOMPARE(r.ipMask, e.mask);
    QCOMPARE(r.gateway, e.gateway);
    QCOMPARE(int(r.dhcpEnabled), dhcpEnabled);
    QCOMPARE(r.dnsServer, QString(resolverDns));
    QVERIFY(!r.haveWins);

    // Both ends have the driver's name; the one of the higher index is "#2".
    const bool peerFirst = fromIp(name + "-p").index < e.index;
    QCOMPARE(r.description, QString(peerFirst ? "veth #2" : "veth"));
    QCOMPARE(changer.getAddress(name + "-p").description, QString(peerFirst ? "veth" : "veth #2"));
}

void tst_iphlpapi_kernel::adapterBuffer()
{
    QVERIFY(makeVeth("vt-a"));
    QVERIFY(ipAll({"addr add 10.60.0.2/24 dev %1", "addr add 10.60.0.3/24 dev %1",
                   "route add default via 10.60.0.1 dev %1 metric 5",
                   "route add default via 10.60.0.9 dev %1 metric 9"}, "vt-a"));

    QCOMPARE(GetAdaptersInfo(nullptr, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    ULONG needed = 0;
    QCOMPARE(GetAdaptersInfo(nullptr, &needed), DWORD(ERROR_BUFFER_OVERFLOW));
    // Guard bytes after the size reported: nothing may be written there.
    std::vector<char> buffer(needed + 64, char(0x5a));
    const auto fill = [&](ULONG *size) {
        return GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), size);
    };
    ULONG size = needed - 1;
    QCOMPARE(fill(&size), DWORD(ERROR_BUFFER_OVERFLOW));
    QCOMPARE(size, needed);
    QCOMPARE(fill(&size), DWORD(ERROR_SUCCESS));
    QVERIFY2(std::all_of(buffer.begin() + needed, buffer.end(), [](char c) { return c == char(0x5a); }),
             "written past the size it asked for");
    QString fault;
    QStringList names = walk(buffer, needed, &fault);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    names.sort();
    QCOMPARE(names, linkNames(false));

    auto *entry = reinterpret_cast<const IP_ADAPTER_INFO *>(buffer.data());
    while (entry && QString::fromLatin1(entry->AdapterName) != "vt-a")
        entry = entry->Next;
    QVERIFY(entry);
    QVERIFY2(entry->IpAddressList.Next && QString(entry->IpAddressList.Next->IpAddress.String) == "10.60.0.3",
             "the second address is not listed after the first");
    QVERIFY2(entry->GatewayList.Next && QString(entry->GatewayList.Next->IpAddress.String) == "10.60.0.9",
             "the gateway of the higher metric is not listed second");

    // The table grows between two calls: the old size is no longer enough.
    QVERIFY(makeVeth("vt-b"));
    size = needed;
    QCOMPARE(fill(&size), DWORD(ERROR_BUFFER_OVERFLOW));
    QVERIFY2(size > needed, "a second adapter did not make the list longer");
    buffer.assign(size, 0);
    QCOMPARE(fill(&size), DWORD(ERROR_SUCCESS));
    names = walk(buffer, size, &fault);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    names.sort();
    QCOMPARE(names, linkNames(false));
}

void tst_iphlpapi_kernel::perAdapter_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<uint>("result");

    QTest::newRow("adapter") << "vt-p" << uint(ERROR_SUCCESS);
    QTest::newRow("loopback") << "lo" << uint(ERROR_NO_DATA);
    QTest::newRow("index of no interface") << "" << uint(ERROR_NO_DATA);
}

void tst_iphlpapi_kernel::perAdapter()
{
    QFETCH(QString, which);
    QFETCH(uint, result);
    QVERIFY(makeVeth("vt-p"));
    const ULONG index = which.isEmpty() ? 99999 : fromIp(which).index;

    QCOMPARE(GetPerAdapterInfo(index, nullptr, nullptr), DWORD(ERROR_INVALID_PARAMETER));
    ULONG size = sizeof(IP_PER_ADAPTER_INFO);
    std::vector<char> buffer(size);
    const auto info = reinterpret_cast<PIP_PER_ADAPTER_INFO>(buffer.data());
    DWORD rc = GetPerAdapterInfo(index, info, &size);
    if (result != ERROR_SUCCESS) {
        QCOMPARE(rc, DWORD(result));
        return;
    }
    // Two IPv4 servers need one node more than the structure holds.
    QCOMPARE(rc, DWORD(ERROR_BUFFER_OVERFLOW));
    QCOMPARE(size, ULONG(sizeof(IP_PER_ADAPTER_INFO) + sizeof(IP_ADDR_STRING)));
    buffer.assign(size, 0);
    const auto grown = reinterpret_cast<PIP_PER_ADAPTER_INFO>(buffer.data());
    QCOMPARE(GetPerAdapterInfo(index, grown, &size), DWORD(ERROR_SUCCESS));
    QCOMPARE(dnsList(grown), (QStringList{"192.0.2.53", "192.0.2.54"}));

    QVERIFY(testnet::useResolvConf("search example.org\n"));
    rc = GetPerAdapterInfo(index, grown, &size);
    QVERIFY(testnet::useResolvConf(resolvConf));
    QCOMPARE(rc, DWORD(ERROR_SUCCESS));
    QCOMPARE(dnsList(grown), QStringList{""});
}

void tst_iphlpapi_kernel::types_data()
{
    QTest::addColumn<QString>("create");
    QTest::addColumn<int>("type");

    QTest::newRow("veth") << "link add %1 type veth peer name %1-p" << MIB_IF_TYPE_ETHERNET;
    QTest::newRow("tap") << "tuntap add mode tap %1" << MIB_IF_TYPE_ETHERNET;
    QTest::newRow("bridge") << "link add %1 type bridge" << MIB_IF_TYPE_ETHERNET;
    QTest::newRow("tun, no link-layer header") << "tuntap add mode tun %1" << MIB_IF_TYPE_OTHER;
}

// The entry's type, and the window lists exactly the Ethernet interfaces.
void tst_iphlpapi_kernel::types()
{
    QFETCH(QString, create);
    QFETCH(int, type);
    const QString name = "vt-t0";
    made << name;
    QVERIFY(ipAll({create}, name));

    ULONG size = 0;
    QCOMPARE(GetAdaptersInfo(nullptr, &size), DWORD(ERROR_BUFFER_OVERFLOW));
    std::vector<char> buffer(size);
    QCOMPARE(GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size), DWORD(ERROR_SUCCESS));
    int found = -1;
    for (auto *e = reinterpret_cast<const IP_ADAPTER_INFO *>(buffer.data()); e; e = e->Next) {
        QVERIFY2(QString(e->AdapterName) != "lo", "loopback is listed");
        if (QString(e->AdapterName) == name)
            found = int(e->Type);
    }
    QCOMPARE(found, type);

    davErirido window;
    QStringList listed;
    for (int i = 0; i < window.interfaceComboBox->count(); ++i)
        listed << window.interfaceComboBox->itemData(i, Qt::UserRole).toString();
    listed.sort();
    QCOMPARE(listed, linkNames(true));
}

void tst_iphlpapi_kernel::recordedState_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("dnsSource");
    QTest::addColumn<QString>("staticDns");
    QTest::addColumn<QString>("lease");        // empty: no lease file
    QTest::addColumn<bool>("stale");           // recorded for an earlier interface of the name
    QTest::addColumn<bool>("dynamicAddress");
    QTest::addColumn<int>("dhcpEnabled");
    QTest::addColumn<QString>("dns");
    QTest::addColumn<QString>("dhcpServer");

    const QString lease = "dns=198.51.100.7 198.51.100.8\nserver=198.51.100.1\n";
    QTest::newRow("nothing recorded") << "" << "" << "" << "" << false << false << 0 << resolverDns << "";
    QTest::newRow("set to dhcp, lease with servers")
        << "dhcp" << "dhcp" << "" << lease << false << true << 1 << "198.51.100.7" << "198.51.100.1";
    QTest::newRow("set to dhcp, lease without servers")
        << "dhcp" << "dhcp" << "" << "server=198.51.100.1\n" << false << false << 1 << resolverDns << "198.51.100.1";
    QTest::newRow("set to static over an address with a lifetime")
        << "static" << "" << "" << lease << false << true << 0 << resolverDns << "";
    QTest::newRow("static DNS over a lease's servers")
        << "dhcp" << "static" << "203.0.113.5" << lease << false << false << 1 << "203.0.113.5" << "198.51.100.1";
    QTest::newRow("record of an earlier interface")
        << "dhcp" << "static" << "203.0.113.5" << "" << true << false << 0 << resolverDns << "";
}

void tst_iphlpapi_kernel::recordedState()
{
    QFETCH(QString, method);
    QFETCH(QString, dnsSource);
    QFETCH(QString, staticDns);
    QFETCH(QString, lease);
    QFETCH(bool, stale);
    QFETCH(bool, dynamicAddress);
    QFETCH(int, dhcpEnabled);
    QFETCH(QString, dns);
    QFETCH(QString, dhcpServer);

    const QString name = "vt-s0";
    QVERIFY(makeVeth(name));
    QVERIFY(ipAll({dynamicAddress ? "addr add 10.70.0.4/24 dev %1 valid_lft 900 preferred_lft 900"
                                  : "addr add 10.70.0.4/24 dev %1"}, name));
    const int index = fromIp(name).index;
    if (!method.isEmpty()) {
        netstate::InterfaceState state;
        state.ifindex = stale ? index + 1000 : index;
        state.method = method.toStdString();
        state.dnsSource = dnsSource.toStdString();
        state.staticDns = staticDns.toStdString();
        QVERIFY(netstate::save(name.toStdString(), state));
    }
    if (!lease.isEmpty()) {
        QFile file(QString::fromStdString(netstate::namespaceDir()) + "/" + name + ".lease");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(lease.toUtf8());
    }

    windowChanger changer;
    const adapterRecord &r = changer.getAddress(name);
    QCOMPARE(r.status, 1);
    QCOMPARE(int(r.dhcpEnabled), dhcpEnabled);
    QCOMPARE(r.dnsServer, dns);
    QCOMPARE(r.dhcpServer, dhcpServer);
}

// The write side that the network shell and SetupAPI stand-ins build on.
void tst_iphlpapi_kernel::kernelChanges()
{
    QVERIFY(makeVeth("vt-k"));
    rtnl::Link link;
    QVERIFY(rtnl::linkByName("vt-k", &link));
    rtnl::Address4 address;
    rtnl::Route4 route;
    QVERIFY(rtnl::fromText("10.80.0.5", &address.address) && rtnl::fromText("10.80.0.1", &route.gateway));
    address.prefix = 24;
    route.metric = 30;

    QCOMPARE(rtnl::addAddress(link.index, address), std::string());
    QVERIFY2(!rtnl::addAddress(link.index, address).empty(), "adding an address twice gave no error");
    QCOMPARE(rtnl::addDefaultRoute(link.index, route), std::string());
    QCOMPARE(fromIp("vt-k").ip, QString("10.80.0.5"));
    QCOMPARE(fromIp("vt-k").gateway, QString("10.80.0.1"));

    rtnl::Route4 other = route;
    other.metric = 31;
    QVERIFY2(!rtnl::deleteDefaultRoute(link.index, other).empty(), "a route of another metric was deleted");
    QCOMPARE(rtnl::deleteDefaultRoute(link.index, route), std::string());
    QCOMPARE(rtnl::deleteAddress(link.index, address), std::string());
    QCOMPARE(fromIp("vt-k").gateway, QString("0.0.0.0"));
    QCOMPARE(fromIp("vt-k").ip, QString("0.0.0.0"));

    QCOMPARE(rtnl::setLinkUp(link.index, false), std::string());
    QCOMPARE(rtnl::setLinkAddress(link.index, {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}), std::string());
    const QJsonObject after = testnet::ipJson({"link", "show", "dev", "vt-k"}).at(0).toObject();
    QCOMPARE(after.value("address").toString(), QString("02:11:22:33:44:55"));
    QVERIFY2(!after.value("flags").toArray().contains("UP"), "the link is still up");
}

QTEST_MAIN(tst_iphlpapi_kernel)
#include "tst_iphlpapi_kernel.moc"
