#include "iphlpapi_text_linux.h"

#include <QtTest>

#include <sstream>

namespace {

QStringList toQt(const std::vector<std::string> &list)
{
    QStringList result;
    for (const std::string &s : list)
        result << QString::fromStdString(s);
    return result;
}

std::vector<std::string> fromQt(const QStringList &list)
{
    std::vector<std::string> result;
    for (const QString &s : list)
        result.push_back(s.toStdString());
    return result;
}

// A cut of pci.ids with its traps: a comment inside a vendor, a subsystem line
// whose first number equals a device id, the same device id under two vendors.
const char pciIds[] =
    "# List of PCI ID's\n"
    "#\n"
    "8086  Intel Corporation\n"
    "\t100e  82540EM Gigabit Ethernet Controller\n"
    "\t\t8086 001e  PRO/1000 MT Desktop Adapter\n"
    "# a relabelled part\n"
    "\t10d3  82574L Gigabit Network Connection\n"
    "10ec  Realtek Semiconductor Co., Ltd.\n"
    "\t8168  RTL8111/8168/8411 PCI Express Gigabit Ethernet Controller\n"
    "\t100e  Not an Intel part\n"
    "1af4  Red Hat, Inc.\n"
    "\t1000  Virtio network device\n"
    "C 02  Network controller\n"
    "\t00  Ethernet controller\n";

} // namespace

class tst_iphlpapi_parse : public QObject
{
    Q_OBJECT

private slots:
    void resolvConf_data();
    void resolvConf();
    void resolvectl_data();
    void resolvectl();
    void pciModel_data();
    void pciModel();
    void descriptions_data();
    void descriptions();
};

void tst_iphlpapi_parse::resolvConf_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QStringList>("servers");

    QTest::newRow("in order") << "nameserver 10.0.0.2\nnameserver 10.0.0.1\n"
                              << QStringList{"10.0.0.2", "10.0.0.1"};
    QTest::newRow("comments and options between")
        << "# generated\n; old style\nsearch example.org\nnameserver 192.0.2.53\noptions edns0\n"
        << QStringList{"192.0.2.53"};
    QTest::newRow("IPv6 servers skipped") << "nameserver 2001:db8::1\nnameserver 192.0.2.1\nnameserver fe80::1%eth0\n"
                                          << QStringList{"192.0.2.1"};
    QTest::newRow("tab and trailing words") << "nameserver\t198.51.100.9  # office\n" << QStringList{"198.51.100.9"};
    QTest::newRow("keyword must start the line") << "  nameserver 10.1.1.1\n#nameserver 10.2.2.2\n"
                                                 << QStringList{};
    QTest::newRow("longer keyword is not nameserver") << "nameservers 10.1.1.1\n" << QStringList{};
    QTest::newRow("not an address") << "nameserver 300.1.1.1\nnameserver ns.example.org\nnameserver\n"
                                    << QStringList{};
    QTest::newRow("no final newline") << "nameserver 10.9.9.9" << QStringList{"10.9.9.9"};
    QTest::newRow("empty") << "" << QStringList{};
}

void tst_iphlpapi_parse::resolvConf()
{
    QFETCH(QString, content);
    QFETCH(QStringList, servers);
    QCOMPARE(toQt(iphlpapitext::resolvConfServers(content.toStdString())), servers);
}

void tst_iphlpapi_parse::resolvectl_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("ifname");
    QTest::addColumn<QStringList>("servers");

    const QString sample = "Global: 9.9.9.9 2620:fe::fe\n"
                           "Link 2 (eth1): 10.0.0.1 10.0.0.2 fe80::1\n"
                           "Link 3 (eth10): 10.10.0.1\n"
                           "Link 4 (wlan0):\n";
    QTest::newRow("the link's own, IPv4 only") << sample << "eth1" << QStringList{"10.0.0.1", "10.0.0.2"};
    QTest::newRow("name is matched whole") << sample << "eth10" << QStringList{"10.10.0.1"};
    QTest::newRow("link without servers falls back to global") << sample << "wlan0" << QStringList{"9.9.9.9"};
    QTest::newRow("unknown link falls back to global") << sample << "eth" << QStringList{"9.9.9.9"};
    QTest::newRow("server names and ports stripped")
        << "Link 5 (vt0): 1.1.1.1#cloudflare-dns.com 192.0.2.8:53\n" << "vt0" << QStringList{"1.1.1.1", "192.0.2.8"};
    QTest::newRow("nothing at all") << "Global:\n" << "eth1" << QStringList{};
}

void tst_iphlpapi_parse::resolvectl()
{
    QFETCH(QString, output);
    QFETCH(QString, ifname);
    QFETCH(QStringList, servers);
    QCOMPARE(toQt(iphlpapitext::resolvectlServers(output.toStdString(), ifname.toStdString())), servers);
}

void tst_iphlpapi_parse::pciModel_data()
{
    QTest::addColumn<uint>("vendor");
    QTest::addColumn<uint>("device");
    QTest::addColumn<QString>("model");

    QTest::newRow("first device of a vendor") << 0x8086u << 0x100eu << "82540EM Gigabit Ethernet Controller";
    QTest::newRow("after a subsystem and a comment") << 0x8086u << 0x10d3u << "82574L Gigabit Network Connection";
    QTest::newRow("same id under another vendor") << 0x10ecu << 0x100eu << "Not an Intel part";
    QTest::newRow("subsystem line is not a device") << 0x8086u << 0x8086u << "";
    QTest::newRow("device of the next vendor is not taken") << 0x8086u << 0x8168u << "";
    QTest::newRow("last vendor before the classes") << 0x1af4u << 0x1000u << "Virtio network device";
    QTest::newRow("unknown vendor") << 0x1234u << 0x1000u << "";
}

void tst_iphlpapi_parse::pciModel()
{
    QFETCH(uint, vendor);
    QFETCH(uint, device);
    QFETCH(QString, model);
    std::istringstream ids(pciIds);
    QCOMPARE(QString::fromStdString(iphlpapitext::pciModelName(ids, vendor, device)), model);
}

void tst_iphlpapi_parse::descriptions_data()
{
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QStringList>("shown");

    QTest::newRow("all different") << QStringList{"veth", "tun", "eth0"} << QStringList{"veth", "tun", "eth0"};
    QTest::newRow("numbered in order, across others")
        << QStringList{"veth", "veth", "tun", "veth", "tun"}
        << QStringList{"veth", "veth #2", "tun", "veth #3", "tun #2"};
    QTest::newRow("case matters") << QStringList{"Veth", "veth"} << QStringList{"Veth", "veth"};
}

void tst_iphlpapi_parse::descriptions()
{
    QFETCH(QStringList, given);
    QFETCH(QStringList, shown);
    QCOMPARE(toQt(iphlpapitext::distinctDescriptions(fromQt(given))), shown);
}

QTEST_GUILESS_MAIN(tst_iphlpapi_parse)
#include "tst_iphlpapi_parse.moc"
