// The worker against the scripted platform: its adapter query and the commands it runs.
#include "fakeplatform.h"
#include "windowchanger.h"

#include <QtTest>

namespace {

using Table = std::vector<fake::Adapter>;
using Sizes = std::vector<ULONG>;
// name null: getAddress() without one; failFrom: the GetAdaptersInfo call (from 1) that starts failing, 0 none; the
// byte counts GetAdaptersInfo and GetPerAdapterInfo are given; name, description, DNS server, type, status, and for
// an adapter found also ip, mask, gateway, DHCP server, hardware address.
struct Query { Table table; QString name; int failFrom; Sizes listSizes, dnsSizes; QStringList expected; };

// Stands in for the interpreter: records its path, its pid and every argument, each ended by a NUL.
const char recorder[] = R"({ printf '%s\0' "$0" "$$" "$@"; echo; } >> "$VANTOREL_TEST_RECORD"
case "$VANTOREL_TEST_MODE" in hang) exec sleep 600 ;; esac)";

const QString connection = QStringLiteral("Local Area Connection");

fake::Adapter adapter(const std::string &name, const std::string &description = "wired",
                      unsigned type = MIB_IF_TYPE_ETHERNET, bool dnsFails = false)
{
    return {name, description, 2, type, 0, {{"192.168.7.10", "255.255.255.0"}}, {"192.168.7.1"}, {"192.168.7.53"}, "", dnsFails};
}

void call(windowChanger &worker, const char *slot, void *result, void *argument)
{
    void *argv[] = {result, argument};
    QMetaObject::metacall(&worker, QMetaObject::InvokeMetaMethod, worker.metaObject()->indexOfMethod(slot), argv);
}

} // namespace

Q_DECLARE_METATYPE(Query)

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

private:
    QList<QStringList> runs() const; // per interpreter run: its path, its pid, then its arguments
    QTemporaryDir root;
};

void tst_commands::init()
{
    fake::reset();
    QVERIFY(fake::installCmdExe(root.path(), recorder));
    QFile::remove(root.filePath("record"));
    qputenv("VANTOREL_TEST_RECORD", root.filePath("record").toLocal8Bit());
    qputenv("systemroot", root.path().toLocal8Bit());
    qunsetenv("VANTOREL_TEST_MODE");
}

QList<QStringList> tst_commands::runs() const
{
    QFile file(root.filePath("record"));
    QList<QStringList> result;
    QList<QByteArray> lines = file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    lines.removeAll(QByteArray());
    for (const QByteArray &line : lines)   // the last NUL ends the last argument
        result << QString::fromLocal8Bit(line.constData(), line.size() - 1).split(QChar(0));
    return result;
}

void tst_commands::query_data()
{
    QTest::addColumn<Query>("row");
    const ULONG node = sizeof(IP_ADDR_STRING);
    const fake::Adapter several{"lo", "loopback", 1, MIB_IF_TYPE_ETHERNET, 1, {{"192.168.7.11", "255.255.0.0"}, {"10.0.0.1", "255.0.0.0"}},
                                {"192.168.7.2", "192.168.7.254"}, {"192.168.7.54", "8.8.8.8"}, "192.168.7.3"};
    const auto wired = [](const QString &name) {
        return QStringList{name, "wired", "192.168.7.53", "6", "1", "192.168.7.10", "255.255.255.0", "192.168.7.1", ""};
    };
    const auto kept = [](const QString &status) { return QStringList{"", "previous card", "10.9.9.53", "0", status}; };
    QTest::newRow("several of each") << Query{{several}, "lo", 0, {704, 704 + 2 * node}, {64, 64 + node},
        {"lo", "loopback", "192.168.7.54", "6", "1", "192.168.7.11", "255.255.0.0", "192.168.7.2", "192.168.7.3", "00-00-00-00-00-00"}};
    QTest::newRow("Ethernet after a wireless twin") << Query{{adapter("vantorel1", "radio", IF_TYPE_IEEE80211), adapter("vantorel1")},
        "vantorel1", 0, {704, 2 * 704}, {64}, wired("vantorel1")};
    QTest::newRow("letter case") << Query{{adapter("vantorel0")}, "VANTOREL0", 0, {704}, {}, kept("1")};
    QTest::newRow("no name") << Query{{adapter("nothing")}, QString(), 0, {704}, {64}, wired("nothing")};
    QTest::newRow("list fails") << Query{{adapter("vantorel0")}, "vantorel0", 1, {704, 704}, {}, kept("-1")};
    QTest::newRow("DNS list fails") << Query{{adapter("vantorel0", "new card", MIB_IF_TYPE_ETHERNET, true)}, "vantorel0", 0,
        {704}, {64, 64}, {"vantorel0", "new card", "10.9.9.53", "6", "-1"}};
}

// After a query that filled the record: one entry's room first, then once more exactly the size asked for.
void tst_commands::query()
{
    QFETCH(Query, row);
    fake::setAdapters({{"previous", "previous card", 9, MIB_IF_TYPE_ETHERNET, 0, {}, {}, {"10.9.9.53"}, ""}});
    windowChanger worker;
    const adapterRecord &r = worker.getAddress("previous");
    fake::reset();
    fake::setAdapters(row.table);
    fake::failAdaptersInfoFrom(row.failFrom);
    call(worker, row.name.isNull() ? "getAddress()" : "getAddress(QString)", nullptr, &row.name);
    const QStringList seen{r.adapterName, r.description, r.dnsServer, QString::number(r.type), QString::number(r.status),
                           r.ipAddress, r.ipMask, r.gateway, r.dhcpServer, r.macAddress};
    QCOMPARE(seen.mid(0, row.expected.size()), row.expected);
    QCOMPARE(fake::log().adaptersInfoSizes, row.listSizes);
    QCOMPARE(fake::log().perAdapterSizes, row.dnsSizes);
}

void tst_commands::commandText_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<QString>("command");
    QTest::newRow("address, extra elements ignored") << QByteArray("setAddress(QStringList)")
        << QVariant(QStringList{connection, "192.168.1.10", "255.255.255.0", "192.168.1.1", "8.8.8.8"})
        << R"(netsh interface ip set address name="Local Area Connection" source=static addr=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1 gwmetric=1)";
    QTest::newRow("dns, quotes and shell characters kept") << QByteArray("setDns(QStringList)")
        << QVariant(QStringList{R"(My "office" a;b & $(c) `d` %e%\)", "1.1.1.1", "8.8.4.4"})
        << R"(netsh interface ip set dns name="My "office" a;b & $(c) `d` %e%\" source=static addr=1.1.1.1 register=primary)";
    QTest::newRow("dhcp address") << QByteArray("setDhcpAddress(QString)") << QVariant(connection)
        << R"(netsh interface ip set address name="Local Area Connection" source=dhcp)";
    QTest::newRow("dhcp dns, blanks kept") << QByteArray("setDhcpDns(QString)") << QVariant("  LAN  2 ")
        << R"(netsh interface ip set dns name="  LAN  2 " source=dhcp)";
}

// Each command by an interpreter of its own, and true once it has run.
void tst_commands::commandText()
{
    QFETCH(QByteArray, slot);
    QFETCH(QVariant, input);
    QFETCH(QString, command);
    windowChanger worker;
    bool result = false;
    call(worker, slot, &result, input.data());
    QVERIFY2(result, "true once the command has run");
    const QString pid = runs().value(0).value(1);
    QCOMPARE(runs(), QList<QStringList>({{root.path() + "/system32/cmd.exe", pid, "/c", command}}));
}

void tst_commands::hangingCommandKilled()
{
    qputenv("VANTOREL_TEST_MODE", "hang");
    windowChanger worker;
    const QDeadlineTimer minute(59000), longer(75000);   // on the test's clock, twenty times as fast
    QVERIFY(worker.setDns({connection, "8.8.8.8"}));
    QVERIFY2(minute.hasExpired() && !longer.hasExpired(), "the command gets its minute and no more");
    QFile stat("/proc/" + runs().first().at(1) + "/stat");
    QVERIFY2(!stat.open(QIODevice::ReadOnly) || stat.readAll().split(')').last().startsWith(" Z"),
             "the hanging interpreter is still running");
    qunsetenv("VANTOREL_TEST_MODE");
    QVERIFY(worker.setDhcpDns(connection));
    QCOMPARE(runs().size(), 2);
}

QTEST_GUILESS_MAIN(tst_commands)
#include "tst_commands.moc"
