#include "fakeplatform.h"
#include "windowchanger.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using Table = std::vector<fake::Adapter>;
Q_DECLARE_METATYPE(Table)
Q_DECLARE_METATYPE(fake::Adapter)

namespace {

fake::Adapter adapter(const std::string &name, unsigned index, const std::string &ip,
                      const std::string &description = "Ethernet adapter")
{
    fake::Adapter a;
    a.name = name;
    a.description = description;
    a.index = index;
    a.addresses = {{ip, "255.255.255.0"}};
    a.gateways = {"192.168.7.1"};
    a.dnsServers = {"192.168.7.53"};
    return a;
}

// A queried adapter whose fields a later query must keep or replace.
const fake::Adapter previous = [] {
    fake::Adapter a = adapter("previous", 99, "10.9.9.9", "previous card");
    a.dnsServers = {"10.9.9.53"};
    return a;
}();

// What the platform asks for when the buffer is too small, without leaving a trace in the log.
std::pair<ULONG, ULONG> neededSizes(const Table &table, ULONG index)
{
    fake::setAdapters(table);
    ULONG list = 0;
    ULONG dns = 0;
    GetAdaptersInfo(nullptr, &list);
    GetPerAdapterInfo(index, nullptr, &dns);
    fake::reset();
    fake::setAdapters(table);
    return {list, dns};
}

class ProcessDeletions : public QObject
{
public:
    int deferred = 0;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::DeferredDelete && qobject_cast<QProcess *>(object))
            ++deferred;
        return false;
    }
};

} // namespace

class tst_adapterquery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void bufferSizes_data();
    void bufferSizes();
    void adapterListFails_data();
    void adapterListFails();
    void matching_data();
    void matching();
    void firstOfEach_data();
    void firstOfEach();
    void dnsListFails();
    void oneRecord();
    void slotSignatures_data();
    void slotSignatures();
    void metacast_data();
    void metacast();
    void invokeGetAddress_data();
    void invokeGetAddress();
    void invokeResults_data();
    void invokeResults();
    void processDeletedLater();

private:
    QTemporaryDir dir;
};

void tst_adapterquery::initTestCase()
{
    QVERIFY(dir.isValid());
    // No interpreter in this system root: a command operation returns at once.
    qputenv("systemroot", dir.path().toLocal8Bit());
    qputenv("VANTOREL_CLASS_KEY", dir.filePath("classkey.ini").toLocal8Bit());
}

void tst_adapterquery::init()
{
    fake::reset();
}

void tst_adapterquery::bufferSizes_data()
{
    QTest::addColumn<Table>("table");
    QTest::addColumn<bool>("listRetried");
    QTest::addColumn<bool>("dnsRetried");

    fake::Adapter wanted = adapter("eth0", 2, "192.168.7.10");
    QTest::newRow("one adapter") << Table{wanted} << false << false;
    QTest::newRow("two adapters") << Table{adapter("eth1", 3, "10.0.0.2"), wanted} << true << false;
    wanted.addresses.push_back({"192.168.8.10", "255.255.255.0"});
    QTest::newRow("two addresses") << Table{wanted} << true << false;
    wanted.addresses.pop_back();
    wanted.dnsServers = {"192.168.7.53", "192.168.7.54", "192.168.7.55"};
    QTest::newRow("three DNS servers") << Table{wanted} << false << true;
}

void tst_adapterquery::bufferSizes()
{
    QFETCH(Table, table);
    QFETCH(bool, listRetried);
    QFETCH(bool, dnsRetried);
    const auto needed = neededSizes(table, 2);
    windowChanger worker;
    const adapterRecord &record = worker.getAddress("eth0");

    QCOMPARE(record.adapterName, QString("eth0"));
    QCOMPARE(record.status, 1);
    const std::vector<ULONG> list = listRetried ? std::vector<ULONG>{704, needed.first} : std::vector<ULONG>{704};
    const std::vector<ULONG> dns = dnsRetried ? std::vector<ULONG>{64, needed.second} : std::vector<ULONG>{64};
    QVERIFY2(fake::log().adaptersInfoSizes == list, "one entry's room first, then exactly the size asked for");
    QVERIFY2(fake::log().perAdapterSizes == dns, "one entry's room first, then exactly the size asked for");
    QVERIFY(fake::log().perAdapterIndexes == std::vector<ULONG>(dns.size(), 2));
}

void tst_adapterquery::adapterListFails_data()
{
    QTest::addColumn<Table>("table");
    QTest::addColumn<int>("failFrom");
    QTest::addColumn<ULONG>("retrySize");

    const fake::Adapter eth0 = adapter("eth0", 2, "192.168.7.10");
    // A failure that names no size: the retry gets the size the call left.
    QTest::newRow("every call fails") << Table{previous, eth0} << 1 << ULONG(704);
    QTest::newRow("the retry fails") << Table{previous, eth0} << 2 << ULONG(2 * 704);
}

void tst_adapterquery::adapterListFails()
{
    QFETCH(Table, table);
    QFETCH(int, failFrom);
    QFETCH(ULONG, retrySize);
    fake::setAdapters(table);
    windowChanger worker;
    worker.getAddress("previous");
    fake::reset();
    fake::setAdapters(table);
    fake::failAdaptersInfoFrom(failFrom);

    const adapterRecord &record = worker.getAddress("eth0");
    QVERIFY2(fake::log().adaptersInfoSizes == std::vector<ULONG>({704, retrySize}), "exactly one retry");
    QVERIFY2(fake::log().perAdapterSizes.empty(), "no DNS query without an adapter");
    QCOMPARE(record.status, -1);
    QCOMPARE(record.adapterName, QString());
    QCOMPARE(record.type, qint16(0));
    QCOMPARE(record.description, QString("previous card"));
    QCOMPARE(record.ipAddress, QString("10.9.9.9"));
}

void tst_adapterquery::matching_data()
{
    QTest::addColumn<Table>("table");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description"); // empty: not found

    fake::Adapter wireless = adapter("wlan0", 3, "10.1.0.2", "radio");
    wireless.type = IF_TYPE_IEEE80211;
    fake::Adapter dialup = adapter("ppp0", 4, "10.2.0.2", "modem");
    dialup.type = MIB_IF_TYPE_PPP;
    const fake::Adapter eth0 = adapter("eth0", 2, "192.168.7.10", "wired");

    QTest::newRow("exact name") << Table{wireless, eth0} << "eth0" << "wired";
    QTest::newRow("wireless") << Table{wireless, eth0} << "wlan0" << "";
    QTest::newRow("dial-up") << Table{dialup, eth0} << "ppp0" << "";
    fake::Adapter wiredTwin = adapter("wlan0", 5, "10.3.0.2", "wired twin");
    QTest::newRow("same name, Ethernet after wireless") << Table{wireless, wiredTwin} << "wlan0" << "wired twin";
    QTest::newRow("letter case") << Table{eth0} << "ETH0" << "";
    QTest::newRow("prefix") << Table{eth0} << "eth" << "";
    QTest::newRow("trailing blank") << Table{eth0} << "eth0 " << "";
    QTest::newRow("empty name") << Table{eth0} << "" << "";
    QTest::newRow("default name") << Table{eth0} << "nothing" << "";
    QTest::newRow("Latin-1 name") << Table{adapter("r\xe9seau", 6, "10.4.0.2", "latin")}
                                  << QString::fromLatin1("r\xe9seau") << "latin";
}

void tst_adapterquery::matching()
{
    QFETCH(Table, table);
    QFETCH(QString, name);
    QFETCH(QString, description);
    table.push_back(previous);
    fake::setAdapters(table);
    windowChanger worker;
    worker.getAddress("previous");

    const adapterRecord &record = worker.getAddress(name);
    if (description.isEmpty()) {
        QCOMPARE(record.adapterName, QString());
        QCOMPARE(record.type, qint16(0));
        QVERIFY2(record.description == "previous card" && record.dnsServer == "10.9.9.53"
                     && record.index == 99 && record.status == 1,
                 "a query that finds nothing keeps the previous adapter's fields and status");
    } else {
        QCOMPARE(record.adapterName, name);
        QCOMPARE(record.description, description);
        QCOMPARE(record.type, qint16(MIB_IF_TYPE_ETHERNET));
        QCOMPARE(record.status, 1);
    }
}

void tst_adapterquery::firstOfEach_data()
{
    QTest::addColumn<fake::Adapter>("entry");
    QTest::addColumn<QStringList>("expected"); // ip, mask, gateway, dhcp server, dns, mac

    fake::Adapter several = adapter("lo", 1, "192.168.7.10");
    several.addresses.push_back({"10.0.0.1", "255.0.0.0"});
    several.gateways = {"192.168.7.1", "192.168.7.254"};
    several.dnsServers = {"192.168.7.53", "8.8.8.8"};
    several.dhcpServer = "192.168.7.2";
    QTest::newRow("several of each") << several
        << QStringList{"192.168.7.10", "255.255.255.0", "192.168.7.1", "192.168.7.2", "192.168.7.53",
                       "00-00-00-00-00-00"};
    fake::Adapter bare = adapter("vantorel-none0", 1, "");
    bare.addresses.clear();
    bare.gateways.clear();
    bare.dnsServers.clear();
    QTest::newRow("nothing configured") << bare
        << QStringList{"0.0.0.0", "0.0.0.0", "0.0.0.0", "", "", ""};
}

void tst_adapterquery::firstOfEach()
{
    QFETCH(fake::Adapter, entry);
    QFETCH(QStringList, expected);
    fake::setAdapters({entry});
    windowChanger worker;
    const adapterRecord &record = worker.getAddress(QString::fromStdString(entry.name));

    QCOMPARE(record.status, 1);
    const QStringList got{record.ipAddress, record.ipMask, record.gateway, record.dhcpServer, record.dnsServer,
                          record.macAddress};
    QCOMPARE(got, expected);
}

void tst_adapterquery::dnsListFails()
{
    fake::Adapter failing = adapter("eth0", 2, "192.168.7.10", "new card");
    failing.dnsFails = true;
    fake::setAdapters({previous, failing});
    windowChanger worker;
    worker.getAddress("previous");

    const adapterRecord &record = worker.getAddress("eth0");
    QCOMPARE(fake::log().perAdapterSizes.size(), size_t(3)); // one for "previous", a retry for eth0
    QCOMPARE(record.status, -1);
    QCOMPARE(record.adapterName, QString("eth0"));
    QCOMPARE(record.description, QString("new card"));
    QCOMPARE(record.ipAddress, QString("192.168.7.10"));
    QVERIFY2(record.dnsServer == "10.9.9.53", "the DNS server of the previous query stays");
    worker.getAddress("unknown");
    QVERIFY2(record.status == -1, "a query that finds nothing leaves the status alone");
}

void tst_adapterquery::oneRecord()
{
    fake::setAdapters({previous, adapter("eth0", 2, "192.168.7.10")});
    windowChanger worker;
    const adapterRecord &first = worker.getAddress("previous");
    const adapterRecord &second = worker.getAddress("eth0");
    QCOMPARE(&first, &second);
    QCOMPARE(first.ipAddress, QString("192.168.7.10"));
}

void tst_adapterquery::slotSignatures_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("parameter");
    QTest::addColumn<QByteArray>("result");

    QTest::newRow("0") << 0 << QByteArray("getAddress(QString)") << QByteArray("adapterName") << QByteArray("void");
    QTest::newRow("1") << 1 << QByteArray("getAddress()") << QByteArray() << QByteArray("void");
    QTest::newRow("2") << 2 << QByteArray("setMac(QStringList)") << QByteArray("macList") << QByteArray("QStringList");
    QTest::newRow("3") << 3 << QByteArray("setAddress(QStringList)") << QByteArray("addressList") << QByteArray("bool");
    QTest::newRow("4") << 4 << QByteArray("setDns(QStringList)") << QByteArray("dnsList") << QByteArray("bool");
    QTest::newRow("5") << 5 << QByteArray("setDhcpAddress(QString)") << QByteArray("dhcp") << QByteArray("bool");
    QTest::newRow("6") << 6 << QByteArray("setDhcpDns(QString)") << QByteArray("dhcp") << QByteArray("bool");
    QTest::newRow("7") << 7 << QByteArray("restartCard(QString)") << QByteArray("adapterDriver") << QByteArray("bool");
}

void tst_adapterquery::slotSignatures()
{
    QFETCH(int, index);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, parameter);
    QFETCH(QByteArray, result);
    const QMetaObject &meta = windowChanger::staticMetaObject;
    QCOMPARE(meta.className(), "windowChanger");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 8);
    QCOMPARE(meta.propertyCount(), QObject::staticMetaObject.propertyCount());

    const QMetaMethod method = meta.method(meta.methodOffset() + index);
    QCOMPARE(method.methodSignature(), signature);
    QCOMPARE(method.methodType(), QMetaMethod::Slot);
    QCOMPARE(method.access(), QMetaMethod::Public);
    QCOMPARE(method.parameterNames(), parameter.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{parameter});
    QCOMPARE(QByteArray(method.typeName()), result);
}

void tst_adapterquery::metacast_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("self");
    QTest::newRow("own class") << QByteArray("windowChanger") << true;
    QTest::newRow("base class") << QByteArray("QObject") << true;
    QTest::newRow("other class") << QByteArray("QProcess") << false;
    QTest::newRow("letter case") << QByteArray("WindowChanger") << false;
}

void tst_adapterquery::metacast()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, self);
    windowChanger worker;
    QCOMPARE(worker.qt_metacast(name.constData()), self ? static_cast<void *>(&worker) : nullptr);
}

void tst_adapterquery::invokeGetAddress_data()
{
    QTest::addColumn<int>("failFrom");
    QTest::addColumn<int>("status");
    QTest::newRow("list readable") << 0 << 1;
    QTest::newRow("list fails") << 1 << -1;
}

void tst_adapterquery::invokeGetAddress()
{
    QFETCH(int, failFrom);
    QFETCH(int, status);
    fake::setAdapters({previous});
    windowChanger worker;
    const adapterRecord &record = worker.getAddress("previous");
    const size_t callsBefore = fake::log().adaptersInfoSizes.size();
    fake::failAdaptersInfoFrom(failFrom ? int(callsBefore) + failFrom : 0);

    QByteArray untouched("untouched");
    void *argv[] = {&untouched};
    const int index = worker.metaObject()->indexOfMethod("getAddress()");
    QMetaObject::metacall(&worker, QMetaObject::InvokeMetaMethod, index, argv);
    QVERIFY2(fake::log().adaptersInfoSizes.size() > callsBefore, "the invocation queries the adapter list");
    QVERIFY2(untouched == "untouched", "the invoker gets no result");
    QCOMPARE(record.adapterName, QString());
    QCOMPARE(record.type, qint16(0));
    QCOMPARE(record.status, status);
    QCOMPARE(record.description, QString("previous card"));
}

void tst_adapterquery::invokeResults_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QVariant>("argument");
    QTest::addColumn<bool>("expected");

    const QStringList address{"Local Area Connection", "192.168.1.10", "255.255.255.0", "192.168.1.1"};
    QTest::newRow("setAddress") << 3 << QVariant(address) << true;
    QTest::newRow("setAddress, short list refused") << 3 << QVariant(address.mid(0, 3)) << false;
    QTest::newRow("setDns") << 4 << QVariant(QStringList{"Local Area Connection", "8.8.8.8"}) << true;
    QTest::newRow("setDns, short list refused") << 4 << QVariant(QStringList{"Local Area Connection"}) << false;
    QTest::newRow("setDhcpAddress") << 5 << QVariant(QString("Local Area Connection")) << true;
    QTest::newRow("setDhcpDns") << 6 << QVariant(QString("Local Area Connection")) << true;
    windowChanger worker;
    const bool restarted = worker.restartCard("{4D36E972-E325-11CE-BFC1-08002bE10318}\\0007");
    QTest::newRow("restartCard") << 7 << QVariant(QString("{4D36E972-E325-11CE-BFC1-08002bE10318}\\0007"))
                                 << restarted;
}

void tst_adapterquery::invokeResults()
{
    QFETCH(int, index);
    QFETCH(QVariant, argument);
    QFETCH(bool, expected);
    windowChanger worker;
    bool result = !expected;
    void *argv[] = {&result, argument.data()};
    QMetaObject::metacall(&worker, QMetaObject::InvokeMetaMethod, worker.metaObject()->methodOffset() + index,
                          argv);
    QVERIFY2(result == expected, "the operation's truth value lands in the result slot");
}

void tst_adapterquery::processDeletedLater()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // earlier tests' workers
    ProcessDeletions deletions;
    QCoreApplication::instance()->installEventFilter(&deletions);
    auto *parent = new QObject;
    auto *worker = new windowChanger(parent);
    QVERIFY2(worker->children().isEmpty(), "the process object has no parent");
    delete parent;

    // Were the process deleted at once, its deferred delete would never arrive.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::instance()->removeEventFilter(&deletions);
    QCOMPARE(deletions.deferred, 1);
}

QTEST_GUILESS_MAIN(tst_adapterquery)
#include "tst_adapterquery.moc"
