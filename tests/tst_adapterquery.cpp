#include "fakeplatform.h"
#include "windowchanger.h"

#include <QProcess>
#include <QtTest>

using Table = std::vector<fake::Adapter>;
using Sizes = std::vector<ULONG>;
Q_DECLARE_METATYPE(Table)
Q_DECLARE_METATYPE(Sizes)

namespace {

fake::Adapter adapter(const std::string &name, const std::string &description = "wired",
                      unsigned type = MIB_IF_TYPE_ETHERNET, bool dnsFails = false)
{
    return {name, description, 2, type, 0, {{"192.168.7.10", "255.255.255.0"}}, {"192.168.7.1"}, {"192.168.7.53"}, "", dnsFails};
}

struct ProcessDeletions : QObject {
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
    void slotDeclarations();
    void processDeletedLater();
};

void tst_adapterquery::query_data()
{
    QTest::addColumn<Table>("table");
    QTest::addColumn<QString>("name");    // null: getAddress() without a name
    QTest::addColumn<int>("failFrom");    // GetAdaptersInfo call (from 1) that starts failing; 0: none
    QTest::addColumn<Sizes>("listSizes"); // the byte counts GetAdaptersInfo is given
    QTest::addColumn<Sizes>("dnsSizes");  // and GetPerAdapterInfo
    // Name, description, DNS server, type, status; for a found adapter also ip, mask, gateway, DHCP server, hardware address.
    QTest::addColumn<QStringList>("expected");

    const ULONG node = sizeof(IP_ADDR_STRING);
    const fake::Adapter several{"lo", "loopback", 1, MIB_IF_TYPE_ETHERNET, 1, {{"192.168.7.11", "255.255.0.0"}, {"10.0.0.1", "255.0.0.0"}},
                                {"192.168.7.2", "192.168.7.254"}, {"192.168.7.54", "8.8.8.8"}, "192.168.7.3"};
    const auto wired = [](const QString &name) {
        return QStringList{name, "wired", "192.168.7.53", "6", "1", "192.168.7.10", "255.255.255.0", "192.168.7.1", "", ""};
    };
    const auto kept = [](const QString &status) { return QStringList{"", "previous card", "10.9.9.53", "0", status}; };
    QTest::newRow("one of each") << Table{adapter("vantorel0")} << "vantorel0" << 0 << Sizes{704} << Sizes{64} << wired("vantorel0");
    QTest::newRow("several of each") << Table{several} << "lo" << 0 << Sizes{704, 704 + 2 * node} << Sizes{64, 64 + node}
        << QStringList{"lo", "loopback", "192.168.7.54", "6", "1", "192.168.7.11", "255.255.0.0", "192.168.7.2", "192.168.7.3", "00-00-00-00-00-00"};
    QTest::newRow("Ethernet after a wireless twin") << Table{adapter("vantorel1", "radio", IF_TYPE_IEEE80211), adapter("vantorel1")}
        << "vantorel1" << 0 << Sizes{704, 2 * 704} << Sizes{64} << wired("vantorel1");
    QTest::newRow("letter case") << Table{adapter("vantorel0")} << "VANTOREL0" << 0 << Sizes{704} << Sizes{} << kept("1");
    QTest::newRow("no name") << Table{adapter("nothing")} << QString() << 0 << Sizes{704} << Sizes{64} << wired("nothing");
    QTest::newRow("list fails") << Table{adapter("vantorel0")} << "vantorel0" << 1 << Sizes{704, 704} << Sizes{} << kept("-1");
    QTest::newRow("retry fails") << Table{adapter("vantorel0"), adapter("vantorel2")} << "vantorel0" << 2 << Sizes{704, 2 * 704} << Sizes{} << kept("-1");
    QTest::newRow("DNS list fails") << Table{adapter("vantorel0", "new card", MIB_IF_TYPE_ETHERNET, true)} << "vantorel0" << 0
        << Sizes{704} << Sizes{64, 64} << QStringList{"vantorel0", "new card", "10.9.9.53", "6", "-1"};
}

// After a query that filled the record, through the meta-object system.
void tst_adapterquery::query()
{
    QFETCH(Table, table);
    QFETCH(QString, name);
    QFETCH(int, failFrom);
    QFETCH(Sizes, listSizes);
    QFETCH(Sizes, dnsSizes);
    QFETCH(QStringList, expected);
    fake::setAdapters({{"previous", "previous card", 9, MIB_IF_TYPE_ETHERNET, 0, {}, {}, {"10.9.9.53"}, ""}});
    windowChanger worker;
    const adapterRecord &r = worker.getAddress("previous");
    fake::reset();
    fake::setAdapters(table);
    fake::failAdaptersInfoFrom(failFrom);
    QByteArray untouched("untouched");
    void *argv[] = {&untouched, &name};
    const char *slot = name.isNull() ? "getAddress()" : "getAddress(QString)";
    QMetaObject::metacall(&worker, QMetaObject::InvokeMetaMethod, worker.metaObject()->indexOfMethod(slot), argv);
    QVERIFY2(untouched == "untouched", "the invoker gets no result");
    const QStringList seen{r.adapterName, r.description, r.dnsServer, QString::number(r.type), QString::number(r.status),
                           r.ipAddress, r.ipMask, r.gateway, r.dhcpServer, r.macAddress};
    QCOMPARE(seen.mid(0, expected.size()), expected);
    QVERIFY2(fake::log().adaptersInfoSizes == listSizes && fake::log().perAdapterSizes == dnsSizes,
             "one entry's room first, then once more exactly the size asked for");
}

void tst_adapterquery::slotDeclarations()
{
    const QMetaObject &meta = windowChanger::staticMetaObject;
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
    QVERIFY2((new windowChanger(parent))->children().isEmpty(), "the process object has no parent");
    delete parent;
    // Were the process deleted at once, its deferred delete would never arrive.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::instance()->removeEventFilter(&deletions);
    QCOMPARE(deletions.deferred, 1);
}

QTEST_GUILESS_MAIN(tst_adapterquery)
#include "tst_adapterquery.moc"
