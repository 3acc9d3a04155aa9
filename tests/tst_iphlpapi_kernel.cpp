// IP Helper, the worker's query and the window's interface list against the real kernel
// (with `ip` as the oracle), in CTest's namespace; its links go when the namespace does.
#include "daverirido.h"
#include "iphelper.h"
#include "netns.h"
#include "netstate_linux.h"
#include "windowchanger.h"

#include <QHostAddress>
#include <QTemporaryDir>
#include <QtTest>

#include <net/if.h>

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

} // namespace

class tst_iphlpapi_kernel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void adapterTable();
    void recordedState();

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

QTEST_MAIN(tst_iphlpapi_kernel)
#include "tst_iphlpapi_kernel.moc"
