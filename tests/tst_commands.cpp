// The worker against the scripted platform: its adapter query, the commands it runs, the device it restarts and the
// hardware address override it writes.
#include "fakeplatform.h"
#include "windowchanger.h"

#include <QtTest>
#include <sched.h>
#include <sys/mount.h>

namespace {

// name null: getAddress() without one; the byte counts GetAdaptersInfo and GetPerAdapterInfo are given; name,
// description, DNS server, type, status, and for an adapter found also ip, mask, gateway, DHCP server, hardware
// address.
struct Query { std::vector<fake::Adapter> table; QString name; bool fails; std::vector<ULONG> listSizes, dnsSizes;
               QStringList expected; };
// The devices' driver keys (empty: unreadable); the change call that fails, 0 none; the result, the calls by device.
struct Restart { std::vector<std::u16string> drivers; QString adapterDriver; int failing; QString outcome; };
using Command = std::function<bool(windowChanger &)>;

const QString connection = QStringLiteral("Local Area Connection");
const QString instanceId = QStringLiteral("{6A1F0B0C-11AA-4C3B-9D11-0123456789AB}");
// The driver key as the hardware address override gives it, and the devices' own spelling.
const QString driverKey = QStringLiteral("{4D36E972-E325-11CE-BFC1-08002bE10318}\\0001");
const std::u16string key1 = driverKey.toLower().toStdU16String(), key0 = key1.substr(0, 39) + u"0000";

fake::Adapter adapter(const std::string &name, const std::string &description = "wired",
                      unsigned type = MIB_IF_TYPE_ETHERNET, bool dnsFails = false)
{
    return {name, description, 2, type, 0, "192.168.7.10", "255.255.255.0", "192.168.7.1", "192.168.7.53", "", dnsFails};
}

} // namespace

Q_DECLARE_METATYPE(Query)
Q_DECLARE_METATYPE(Restart)
Q_DECLARE_METATYPE(Command)

class tst_commands : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void query_data();
    void query();
    void commandText_data();
    void commandText();
    void hangingCommandKilled();
    void restartCard_data();
    void restartCard();
    void setMac_data();
    void setMac();   // last: a row of it leaves the test in a mount namespace of its own

private:
    QTemporaryDir root;
};

void tst_commands::init()
{
    fake::state = {};
    QVERIFY(fake::installCmdExe(root.path()));
    fake::takeRuns(root.path());
}

void tst_commands::query_data()
{
    QTest::addColumn<Query>("row");
    const fake::Adapter lo{"lo", "loopback", 1, MIB_IF_TYPE_ETHERNET, 1, "192.168.7.11", "255.255.0.0", "192.168.7.2",
                           "192.168.7.54", "192.168.7.3"};
    const auto kept = [](const QString &status) { return QStringList{"", "previous card", "10.9.9.53", "0", status}; };
    QTest::newRow("Ethernet after a wireless twin") << Query{{adapter("lo", "radio", IF_TYPE_IEEE80211), lo}, "lo", false,
        {704, 2 * 704}, {64},
        {"lo", "loopback", "192.168.7.54", "6", "1", "192.168.7.11", "255.255.0.0", "192.168.7.2", "192.168.7.3", "00-00-00-00-00-00"}};
    QTest::newRow("letter case") << Query{{adapter("vantorel0")}, "VANTOREL0", false, {704}, {}, kept("1")};
    QTest::newRow("no name") << Query{{adapter("nothing")}, QString(), false, {704}, {64},
        {"nothing", "wired", "192.168.7.53", "6", "1", "192.168.7.10", "255.255.255.0", "192.168.7.1", ""}};
    QTest::newRow("list fails") << Query{{adapter("vantorel0")}, "vantorel0", true, {704, 704}, {}, kept("-1")};
    QTest::newRow("DNS list fails") << Query{{adapter("vantorel0", "new card", MIB_IF_TYPE_ETHERNET, true)}, "vantorel0", false,
        {704}, {64, 64}, {"vantorel0", "new card", "10.9.9.53", "6", "-1"}};
}

// After a query that filled the record: one entry's room first, then once more exactly the size asked for.
void tst_commands::query()
{
    QFETCH(Query, row);
    fake::state.adapters = {{"previous", "previous card", 9, MIB_IF_TYPE_ETHERNET, 0, "", "", "", "10.9.9.53"}};
    windowChanger worker;
    const adapterRecord &r = worker.getAddress("previous");
    fake::state = {};
    fake::state.adapters = row.table;
    fake::state.adaptersInfoFails = row.fails;
    row.name.isNull() ? worker.getAddress() : worker.getAddress(row.name);
    const QStringList seen{r.adapterName, r.description, r.dnsServer, QString::number(r.type), QString::number(r.status),
                           r.ipAddress, r.ipMask, r.gateway, r.dhcpServer, r.macAddress};
    QCOMPARE(seen.mid(0, row.expected.size()), row.expected);
    QCOMPARE(fake::state.adaptersInfoSizes, row.listSizes);
    QCOMPARE(fake::state.perAdapterSizes, row.dnsSizes);
}

void tst_commands::commandText_data()
{
    QTest::addColumn<Command>("run");
    QTest::addColumn<QString>("command");
    QTest::newRow("address, extra elements ignored") << Command([](windowChanger &worker) {
        return worker.setAddress({connection, "192.168.1.10", "255.255.255.0", "192.168.1.1", "8.8.8.8"}); })
        << R"(netsh interface ip set address name="Local Area Connection" source=static addr=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1 gwmetric=1)";
    QTest::newRow("dns, quotes and shell characters kept") << Command([](windowChanger &worker) {
        return worker.setDns({R"(My "office" a;b & $(c) `d` %e%\)", "1.1.1.1", "8.8.4.4"}); })
        << R"(netsh interface ip set dns name="My "office" a;b & $(c) `d` %e%\" source=static addr=1.1.1.1 register=primary)";
    QTest::newRow("dhcp address") << Command([](windowChanger &worker) { return worker.setDhcpAddress(connection); })
        << R"(netsh interface ip set address name="Local Area Connection" source=dhcp)";
    QTest::newRow("dhcp dns, blanks kept") << Command([](windowChanger &worker) { return worker.setDhcpDns("  LAN  2 "); })
        << R"(netsh interface ip set dns name="  LAN  2 " source=dhcp)";
}

// Each command by an interpreter of its own, and true once it has run.
void tst_commands::commandText()
{
    QFETCH(Command, run);
    QFETCH(QString, command);
    windowChanger worker;
    QVERIFY2(run(worker), "true once the command has run");
    const QList<QStringList> runs = fake::takeRuns(root.path());
    QCOMPARE(runs, QList<QStringList>({{root.path() + "/system32/cmd.exe", runs.value(0).value(1), "/c", command}}));
}

void tst_commands::hangingCommandKilled()
{
    QVERIFY(fake::installCmdExe(root.path(), "exec sleep 600"));
    windowChanger worker;
    const QDeadlineTimer minute(59000), longer(75000);   // on the test's clock, twenty times as fast
    QVERIFY(worker.setDns({connection, "8.8.8.8"}));
    QVERIFY2(minute.hasExpired() && !longer.hasExpired(), "the command gets its minute and no more");
    QVERIFY(fake::installCmdExe(root.path()));
    QVERIFY(worker.setDhcpDns(connection));
    QCOMPARE(fake::takeRuns(root.path()).size(), 2);   // an interpreter left running would keep the next from starting
}

void tst_commands::restartCard_data()
{
    QTest::addColumn<Restart>("row");
    QTest::newRow("bare prefix") << Restart{{key0, key1}, driverKey.left(39), 0, "true"};
    QTest::newRow("other, unreadable, over 43 units, same") << Restart{{key0, u"", key1 + u"\\x", key1}, driverKey, 0,
        "true, stop 2, change 2, start 2, change 2"};
    // Longer than the 520 bytes read: not read at all, though its first 43 units match.
    QTest::newRow("longer than the buffer") << Restart{{key1 + std::u16string(300, u'0')}, driverKey, 0, "true"};
    QTest::newRow("stop parameters refused") << Restart{{key1, key1}, driverKey, 1, "false, stop 0"};
    QTest::newRow("start refused") << Restart{{key1, key1}, driverKey, 4, "false, stop 0, change 0, start 0, change 0"};
}

void tst_commands::restartCard()
{
    QFETCH(Restart, row);
    fake::state.drivers = row.drivers;
    fake::state.failChangeCall = row.failing;
    const QString result = windowChanger().restartCard(row.adapterDriver) ? "true" : "false";
    QVERIFY2(!fake::state.openSets, "the device set was not destroyed");
    QCOMPARE(result + fake::state.changes, row.outcome);
}

void tst_commands::setMac_data()
{
    QTest::addColumn<QStringList>("macList");
    QTest::addColumn<QString>("subkey");   // the one written and named in the result; "-": a read-only class key, result "0"
    QTest::newRow("match, extras ignored") << QStringList{instanceId, "02-aa-BB:cc:DD-ee", "0", "x"} << "0000";
    QTest::newRow("no match: letter case differs") << QStringList{instanceId.toLower(), "021122334455"} << "";
    QTest::newRow("no identifier reads as 0") << QStringList{"0", "021122334455"} << "0001";
    QTest::newRow("read-only class key") << QStringList{instanceId, "021122334455"} << "-";
}

void tst_commands::setMac()
{
    QFETCH(QStringList, macList);
    QFETCH(QString, subkey);
    const bool readOnly = subkey == "-";   // 0001 has no instance identifier; 0002 repeats 0000's and keeps its override
    QVariantMap expected{{"0000/NetCfgInstanceId", instanceId}, {"0001/DriverDesc", "none"},
                         {"0002/NetCfgInstanceId", instanceId}, {"0002/NetworkAddress", "001122334455"}};
    QTemporaryDir dir;
    QSettings classKey(dir.filePath("class-key.ini"), QSettings::IniFormat);
    for (auto value = expected.cbegin(); value != expected.cend(); ++value)
        classKey.setValue(value.key(), value.value());
    classKey.sync();
    qputenv("VANTOREL_CLASS_KEY", QFile::encodeName(classKey.fileName()));
    // File modes don't stop root; a read-only bind mount, in a mount namespace of our own, does.
    const QByteArray folder = QFile::encodeName(dir.path());
    const auto unmount = qScopeGuard([&] { if (readOnly) ::umount(folder); });
    if (readOnly && (::unshare(CLONE_NEWNS) || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)
                     || ::mount(folder, folder, nullptr, MS_BIND, nullptr)
                     || ::mount(nullptr, folder, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr)))
        QSKIP(qPrintable("can't mount the class key read-only: " + qt_error_string(errno)));
    QCOMPARE(windowChanger().setMac(macList), readOnly ? QStringList({"0"}) : QStringList({"1", driverKey.left(39) + subkey}));
    if (subkey.size() == 4)
        expected[subkey + "/NetworkAddress"] = macList.at(1);
    for (const QString &key : classKey.allKeys())
        QVERIFY2(classKey.value(key) == expected.take(key), qPrintable(key + " is not as it should be"));
    QVERIFY2(expected.isEmpty(), qPrintable(QStringList(expected.keys()).join(' ') + " went missing"));
}

QTEST_GUILESS_MAIN(tst_commands)
#include "tst_commands.moc"
