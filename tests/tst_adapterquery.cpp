#include "fakeplatform.h"
#include "windowchanger.h"

#include <QProcess>
#include <QtTest>

using Table = std::vector<fake::Adapter>;
using Sizes = std::vector<ULONG>;
Q_DECLARE_METATYPE(Table)
Q_DECLARE_METATYPE(Sizes)

namespace {

fake::Adapter adapter(const std::string &name, unsigned index, const std::string &description = "wired",
                      unsigned type = MIB_IF_TYPE_ETHERNET)
{
    return {name, description, index, type, 0, {{"192.168.7.10", "255.255.255.0"}}, {"192.168.7.1"}, {"192.168.7.53"},
            ""};
}

// A queried adapter whose fields a later query must keep or replace.
const fake::Adapter previous{"previous", "previous card", 99, MIB_IF_TYPE_ETHERNET, 0, {{"10.9.9.9", "255.0.0.0"}},
                             {"10.9.9.1"}, {"10.9.9.53"}, ""};

// What an invoker may see of the record: name, description, DNS server, type, status.
QStringList seen(const adapterRecord &record)
{
    return {record.adapterName, record.description, record.dnsServer, QString::number(record.type),
            QString::number(record.status)};
}

class ProcessDeletions : public QObject
{
public:
    int deferred = 0;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        deferred += event->type() == QEvent::DeferredDelete && qobject_cast<QProcess *>(object);
        return false;
    }
};

} // namespace

class tst_adapterquery : public QObject
{
    Q_OBJECT

private slots:
    void init() { fake::reset(); }
    void query_data();
    void query();
    void lookup_data();
    void lookup();
    void invokeDefaultName();
    void slotDeclarations();
    void processDeletedLater();
};

void tst_adapterquery::query_data()
{
    QTest::addColumn<Table>("table"); // the last adapter is queried
    QTest::addColumn<Sizes>("listSizes");
    QTest::addColumn<Sizes>("dnsSizes");
    QTest::addColumn<QStringList>("expected"); // ip, mask, gateway, DHCP server, DNS server, hardware address

    const ULONG node = sizeof(IP_ADDR_STRING);
    const QStringList plain{"192.168.7.10", "255.255.255.0", "192.168.7.1", "", "192.168.7.53", ""};
    const fake::Adapter several{"lo", "loopback", 1, MIB_IF_TYPE_ETHERNET, 1,
                                {{"192.168.7.11", "255.255.0.0"}, {"10.0.0.1", "255.0.0.0"}},
                                {"192.168.7.2", "192.168.7.254"}, {"192.168.7.54", "8.8.8.8"}, "192.168.7.3"};
    QTest::newRow("one adapter") << Table{adapter("vantorel0", 2)} << Sizes{704} << Sizes{64} << plain;
    QTest::newRow("two adapters") << Table{adapter("vantorel1", 3), adapter("vantorel0", 2)} << Sizes{704, 2 * 704} << Sizes{64} << plain;
    QTest::newRow("several of each") << Table{several} << Sizes{704, 704 + 2 * node} << Sizes{64, 64 + node}
        << QStringList{"192.168.7.11", "255.255.0.0", "192.168.7.2", "192.168.7.3", "192.168.7.54", "00-00-00-00-00-00"};
    QTest::newRow("nothing configured") << Table{{"vantorel0", "bare", 1, MIB_IF_TYPE_ETHERNET, 0, {}, {}, {}, ""}} << Sizes{704} << Sizes{64}
        << QStringList{"0.0.0.0", "0.0.0.0", "0.0.0.0", "", "", ""};
}

void tst_adapterquery::query()
{
    QFETCH(Table, table);
    QFETCH(Sizes, listSizes);
    QFETCH(Sizes, dnsSizes);
    QFETCH(QStringList, expected);
    fake::setAdapters(table);
    windowChanger worker;
    const adapterRecord &r = worker.getAddress(QString::fromStdString(table.back().name));
    QCOMPARE(r.status, 1);
    QCOMPARE(QStringList({r.ipAddress, r.ipMask, r.gateway, r.dhcpServer, r.dnsServer, r.macAddress}), expected);
    QVERIFY2(fake::log().adaptersInfoSizes == listSizes, "one entry's room first, then exactly the size asked for");
    QVERIFY2(fake::log().perAdapterSizes == dnsSizes, "one entry's room first, then exactly the size asked for");
}

void tst_adapterquery::lookup_data()
{
    QTest::addColumn<Table>("table");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("failFrom"); // GetAdaptersInfo call (from 1) that starts failing; 0: none
    QTest::addColumn<QStringList>("expected");

    const fake::Adapter wireless = adapter("wlan0", 3, "radio", IF_TYPE_IEEE80211);
    fake::Adapter noDns = adapter("eth0", 2, "new card");
    noDns.dnsFails = true;
    const QStringList kept{"", "previous card", "10.9.9.53", "0", "1"};
    QTest::newRow("exact name") << Table{wireless, adapter("eth0", 2)} << "eth0" << 0 << QStringList{"eth0", "wired", "192.168.7.53", "6", "1"};
    QTest::newRow("wireless") << Table{wireless} << "wlan0" << 0 << kept;
    QTest::newRow("Ethernet after a wireless twin") << Table{wireless, adapter("wlan0", 5)} << "wlan0" << 0 << QStringList{"wlan0", "wired", "192.168.7.53", "6", "1"};
    QTest::newRow("letter case") << Table{adapter("eth0", 2)} << "ETH0" << 0 << kept;
    QTest::newRow("list fails") << Table{adapter("eth0", 2)} << "eth0" << 1 << QStringList{"", "previous card", "10.9.9.53", "0", "-1"};
    QTest::newRow("retry fails") << Table{adapter("eth0", 2)} << "eth0" << 2 << QStringList{"", "previous card", "10.9.9.53", "0", "-1"};
    QTest::newRow("DNS list fails") << Table{noDns} << "eth0" << 0 << QStringList{"eth0", "new card", "10.9.9.53", "6", "-1"};
}

void tst_adapterquery::lookup()
{
    QFETCH(Table, table);
    QFETCH(QString, name);
    QFETCH(int, failFrom);
    QFETCH(QStringList, expected);
    table.push_back(previous);
    fake::setAdapters(table);
    windowChanger worker;
    worker.getAddress("previous");
    fake::failAdaptersInfoFrom(failFrom ? failFrom + 2 : 0);

    const adapterRecord &record = worker.getAddress(name);
    QCOMPARE(seen(record), expected);
    QVERIFY2(fake::log().adaptersInfoSizes.size() == 4, "exactly one retry for a list of several");
    if (!record.adapterName.isEmpty() && record.status == -1) {
        worker.getAddress("unknown");
        QVERIFY2(record.status == -1, "a query that finds nothing leaves the status alone");
    }
}

void tst_adapterquery::invokeDefaultName()
{
    fake::setAdapters({previous, adapter("nothing", 2, "named nothing")});
    windowChanger worker;
    const adapterRecord &record = worker.getAddress("previous");
    QByteArray untouched("untouched");
    void *argv[] = {&untouched};
    QMetaObject::metacall(&worker, QMetaObject::InvokeMetaMethod, worker.metaObject()->indexOfMethod("getAddress()"), argv);
    QCOMPARE(fake::log().adaptersInfoSizes.size(), size_t(4));
    QVERIFY2(untouched == "untouched", "the invoker gets no result");
    QCOMPARE(seen(record), QStringList({"nothing", "named nothing", "192.168.7.53", "6", "1"}));
}

void tst_adapterquery::slotDeclarations()
{
    const QMetaObject &meta = windowChanger::staticMetaObject;
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QStringList declared;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod slot = meta.method(i);
        QVERIFY2(slot.methodType() == QMetaMethod::Slot && slot.access() == QMetaMethod::Public,
                 slot.methodSignature().constData());
        declared << QString("%1 %2 %3").arg(slot.typeName(), slot.methodSignature(), slot.parameterNames().join(','));
    }
    QCOMPARE(declared, QStringList({"void getAddress(QString) adapterName", "void getAddress() ",
                                    "QStringList setMac(QStringList) macList", "bool setAddress(QStringList) addressList",
                                    "bool setDns(QStringList) dnsList", "bool setDhcpAddress(QString) dhcp",
                                    "bool setDhcpDns(QString) dhcp", "bool restartCard(QString) adapterDriver"}));
}

void tst_adapterquery::processDeletedLater()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // earlier tests' workers
    ProcessDeletions deletions;
    QCoreApplication::instance()->installEventFilter(&deletions);
    auto *parent = new QObject;
    const auto *worker = new windowChanger(parent);
    QVERIFY2(worker->children().isEmpty(), "the process object has no parent");
    delete parent;
    // Were the process deleted at once, its deferred delete would never arrive.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::instance()->removeEventFilter(&deletions);
    QCOMPARE(deletions.deferred, 1);
}

QTEST_GUILESS_MAIN(tst_adapterquery)
#include "tst_adapterquery.moc"
