// IP Helper and the worker's query against the real kernel (with `ip` as the
// oracle), and SetupAPI's answers to its callers' mistakes and to a start it
// can't finish, in CTest's namespace; its links go when the namespace does.
#include "devicesetup.h"
#include "iphelper.h"
#include "netns.h"
#include "records/records.h"
#include "windowchanger.h"

#include <QHostAddress>
#include <QtTest>

#include <net/if.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What GetAdaptersInfo says of each adapter, by name: index, type, description,
// MAC, DHCP flag, the address and gateway lists.
using Table = QMap<QString, QStringList>;

Table adapters()
{
    ULONG size = 0;
    std::vector<char> buffer;
    DWORD rc = ERROR_BUFFER_OVERFLOW;
    while (rc == ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size + 1);
        rc = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    }
    Table table;
    for (auto e = reinterpret_cast<const IP_ADAPTER_INFO *>(buffer.data()); rc == ERROR_SUCCESS && e; e = e->Next) {
        QStringList addresses, gateways;
        const QByteArray mac(reinterpret_cast<const char *>(e->Address), int(e->AddressLength));
        for (const IP_ADDR_STRING *n = &e->IpAddressList; n; n = n->Next)
            addresses << QString::fromLatin1(n->IpAddress.String) + "/" + QString::fromLatin1(n->IpMask.String);
        for (const IP_ADDR_STRING *n = &e->GatewayList; n; n = n->Next)
            gateways << QString::fromLatin1(n->IpAddress.String);
        table.insert(QString::fromLatin1(e->AdapterName),
                     {QString::number(e->Index), QString::number(e->Type), QString::fromLatin1(e->Description),
                      mac.toHex(':'), QString::number(e->DhcpEnabled), addresses.join(' '), gateways.join(' ')});
    }
    return table;
}

// The same from `ip -j`: every Ethernet link, each veth described as the kernel's
// driver names it, the second and later of a kind numbered as Windows does.
Table oracle()
{
    QMap<QString, QStringList> addresses, gateways;
    for (const QJsonValue &link : testnet::ipJson({"-4", "addr", "show"})) {
        for (const QJsonValue &a : link["addr_info"].toArray()) {
            const int prefix = a["prefixlen"].toInt();
            addresses[link["ifname"].toString()]
                << a["local"].toString() + "/" + QHostAddress(prefix ? ~quint32(0) << (32 - prefix) : 0).toString();
        }
    }
    for (const QJsonValue &r : testnet::ipJson({"-4", "route", "show", "default"})) {
        for (const QJsonValue &hop : r["nexthops"].isArray() ? r["nexthops"].toArray() : QJsonArray{r})
            gateways[hop["dev"].toString()] << hop["gateway"].toString();
    }
    Table table;
    int veths = 0;
    for (const QJsonValue &link : testnet::ipJson({"link", "show"})) {
        const QString name = link["ifname"].toString();
        if (link["link_type"].toString() != "ether")
            continue;
        const QString description = ++veths == 1 ? "veth" : QString("veth #%1").arg(veths);
        table.insert(name, {QString::number(link["ifindex"].toInt()), QString::number(MIB_IF_TYPE_ETHERNET), description,
                            link["address"].toString(), "0",
                            addresses.value(name, {"0.0.0.0/0.0.0.0"}).join(' '), gateways.value(name, {"0.0.0.0"}).join(' ')});
    }
    return table;
}

} // namespace

class tst_iphlpapi_kernel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void adapterTable();
    void deviceSetup();

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

// Veth pairs, both ends up so that routes through them are accepted: vt-a with a secondary and a
// point-to-point address, default routes of several metrics, one of them multipath through vt-b,
// and routes that are not the main table's default; hundreds of plain ones, read in several
// messages; a tun interface. They stay: the namespace's end deletes them faster.
void tst_iphlpapi_kernel::adapterTable()
{
    QStringList batch = {"tuntap add mode tun vt-t"};
    for (int i = -2; i < 150; ++i) {
        const QString name = i == -2 ? "vt-a" : i == -1 ? "vt-b" : "vb" + QString::number(i);
        batch << "link add " + name + " type veth peer name " + name + "-p" << "link set " + name + " up" << "link set " + name + "-p up";
        if (i >= 0)
            batch << QString("addr add 10.60.%1.1/24 dev %2").arg(i).arg(name);
    }
    batch << "addr add 10.51.0.2/24 dev vt-b" << "addr add 10.50.0.2/24 dev vt-a" << "addr add 10.50.0.3/24 dev vt-a"
          << "addr add 10.50.9.1 peer 10.50.9.2 dev vt-a" << "route add default via 10.50.0.254 dev vt-a metric 20"
          << "route add default via 10.50.0.1 dev vt-a metric 10" << "route add default via 10.50.0.9 dev vt-a table 100"
          << "route add 10.0.0.0/8 via 10.50.0.8 dev vt-a"
          << "route add default metric 30 nexthop via 10.50.0.5 dev vt-a nexthop via 10.51.0.1 dev vt-b";
    QTemporaryFile file;
    QVERIFY(file.open() && file.write((batch.join('\n') + '\n').toUtf8()) > 0 && file.flush());
    QVERIFY(testnet::ip({"-batch", file.fileName()}));

    ULONG needed = 0;
    QCOMPARE(GetAdaptersInfo(nullptr, &needed), DWORD(ERROR_BUFFER_OVERFLOW));
    std::vector<char> buffer(needed + 64, char(0x5a)); // guard bytes after the size reported
    ULONG size = needed - 1;
    QCOMPARE(GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size), DWORD(ERROR_BUFFER_OVERFLOW));
    QCOMPARE(GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size), DWORD(ERROR_SUCCESS));
    QVERIFY2(QByteArray(&buffer[needed], 64) == QByteArray(64, char(0x5a)), "written past the size it asked for");
    QCOMPARE(adapters().value("vt-t").value(1), QString::number(MIB_IF_TYPE_OTHER));
    QVERIFY(testnet::ip({"link", "del", "vt-t"}));
    QCOMPARE(adapters(), oracle());

    // A change that another process makes between two readings shows in the second.
    for (const QString change : {"addr add 10.80.0.9/16 dev vb1", "route add default via 10.60.2.9 dev vb2",
                                 "link set vb3 address 02:00:00:00:80:01"}) {
        QVERIFY(testnet::ip(change.split(' ')));
        QVERIFY2(adapters() == oracle(), qPrintable("not seen at once: " + change));
    }
    rtnl::Link link;
    QVERIFY(rtnl::linkByName("vb4-p", &link));
    const pid_t writer = fork(); // a record written by another process than the reader
    if (writer == 0)
        _exit(records::save(link, {"dhcp", "", "", "", 0, 0, {}, {}}) ? 0 : 1);
    int status = 1;
    QVERIFY(waitpid(writer, &status, 0) == writer && status == 0);
    QCOMPARE(adapters().value("vb4-p").value(4), QString("1"));

    // The worker's record: the first address, the lowest metric's gateway, the first IPv4 DNS server.
    windowChanger changer;
    const adapterRecord &r = changer.getAddress("vt-a");
    QCOMPARE(QList<int>({r.status, r.type, int(r.index), r.dhcpEnabled}), QList<int>({1, MIB_IF_TYPE_ETHERNET, int(if_nametoindex("vt-a")), 0}));
    QCOMPARE(QStringList({r.ipAddress, r.ipMask, r.gateway, r.dnsServer}), QStringList({"10.50.0.2", "255.255.255.0", "10.50.0.1", "192.0.2.53"}));
}

// A device set over the namespace's links, asked as the worker asks it and as it never should be: each wrong
// handle, size, property or parameter is refused, and nothing is written past the buffer given.
void tst_iphlpapi_kernel::deviceSetup()
{
    QVERIFY(testnet::ip({"link", "add", "vs0", "type", "veth", "peer", "name", "vs0-p"}));
    const GUID other = {0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};   // display adapters
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    QCOMPARE(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
    const HDEVINFO none = SetupDiGetClassDevsW(&other, nullptr, nullptr, DIGCF_PRESENT);
    QVERIFY(none != INVALID_HANDLE_VALUE && !SetupDiEnumDeviceInfo(none, 0, &device) && SetupDiDestroyDeviceInfoList(none));
    QVERIFY2(!SetupDiDestroyDeviceInfoList(none), "a set is destroyed once");

    const HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    QVERIFY(set != INVALID_HANDLE_VALUE);
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(set, count, &device))
        ++count;
    QCOMPARE(count, DWORD(testnet::ipJson({"link", "show"}).size() - 1));   // all but loopback
    QVERIFY(SetupDiEnumDeviceInfo(set, 0, &device));
    SP_DEVINFO_DATA wrongSize = device, wrongDevice = device;
    wrongSize.cbSize = 1;
    wrongDevice.Reserved = count + 1;
    QVERIFY(!SetupDiEnumDeviceInfo(set, 0, &wrongSize));

    char16_t buffer[60];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    DWORD type = 0, required = 0;
    QVERIFY(!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER + 1, &type, PBYTE(buffer), sizeof buffer, &required));
    QVERIFY(!SetupDiGetDeviceRegistryPropertyW(set, &wrongDevice, SPDRP_DRIVER, &type, PBYTE(buffer), sizeof buffer, &required));
    QVERIFY(!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER, &type, PBYTE(buffer), 87, &required));
    QCOMPARE(required, DWORD(88));   // 43 units and the NUL
    QCOMPARE(buffer[0], u'#');
    QVERIFY(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER, &type, PBYTE(buffer), 88, &required));
    QCOMPARE(QString::fromStdU16String(std::u16string(buffer, 45)),
             QString("{4d36e972-e325-11ce-bfc1-08002be10318}\\0000") + QChar(0) + '#');   // the devices' spelling
    QCOMPARE(type, DWORD(REG_SZ));

    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE};
    params.StateChange = DICS_STOP;
    const auto install = [&](SP_PROPCHANGE_PARAMS p, DWORD size = sizeof(SP_PROPCHANGE_PARAMS)) {
        return SetupDiSetClassInstallParamsW(set, &device, &p.ClassInstallHeader, size);
    };
    SP_PROPCHANGE_PARAMS header = params, function = params, change = params;
    header.ClassInstallHeader.cbSize = sizeof params;
    function.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE + 1;
    change.StateChange = DICS_ENABLE;
    QVERIFY(!install(header) && !install(function) && !install(change) && !install(params, sizeof params - 1));
    QVERIFY2(!SetupDiChangeState(set, &device), "a change without parameters");
    QVERIFY(install(params) && SetupDiSetClassInstallParamsW(set, &device, nullptr, 0));
    QVERIFY2(!SetupDiChangeState(set, &device), "a change whose parameters were cleared");
    QVERIFY(!SetupDiSetClassInstallParamsW(set, &wrongDevice, &params.ClassInstallHeader, sizeof params));

    // A start that can't bring the stopped configuration back fails: here a kept address the kernel refuses.
    QVERIFY(testnet::ip({"link", "set", "vs0", "up"}) && testnet::ip({"addr", "add", "10.97.0.2/24", "dev", "vs0"}));
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device) && device.DevInst != if_nametoindex("vs0"); ++i) {
    }
    QVERIFY(install(params) && SetupDiChangeState(set, &device));
    QFile record(QString::fromStdString(records::namespaceDir()) + "/vs0.state");
    QVERIFY(record.open(QIODevice::ReadWrite));
    const QByteArray kept = record.readAll().replace("savedAddresses=10.97.0.2/24", "savedAddresses=10.97.0.2/33");
    QVERIFY(kept.contains("/33") && record.resize(0) && record.write(kept) == kept.size());
    record.close();
    params.StateChange = DICS_START;
    QVERIFY(install(params) && !SetupDiChangeState(set, &device));
    QVERIFY(SetupDiDestroyDeviceInfoList(set));
}

QTEST_MAIN(tst_iphlpapi_kernel)
#include "tst_iphlpapi_kernel.moc"
