// The hardware address override and the adapter restart against the kernel:
// a veth pair in the test's own network namespace.
#include "netns.h"
#include "windowchanger.h"

#include <QtTest>

namespace {

const QString adapter = QStringLiteral("vr0");

QJsonObject first(const QJsonArray &array)
{
    return array.isEmpty() ? QJsonObject() : array.at(0).toObject();
}

QString linkAddress()
{
    return first(testnet::ipJson({"link", "show", "dev", adapter})).value("address").toString();
}

// What the restart must give back: the link up with its address and default route.
QString configuration()
{
    const QJsonObject link = first(testnet::ipJson({"link", "show", "dev", adapter}));
    const bool up = link.value("flags").toArray().contains(QStringLiteral("UP"));
    QStringList parts{up ? "up" : "down"};
    const QJsonArray addresses = first(testnet::ipJson({"-4", "addr", "show", "dev", adapter})).value("addr_info").toArray();
    for (const QJsonValue &address : addresses)
        parts << QStringLiteral("%1/%2").arg(address["local"].toString()).arg(address["prefixlen"].toInt());
    const QJsonArray routes = testnet::ipJson({"-4", "route", "show", "default", "dev", adapter});
    for (const QJsonValue &route : routes)
        parts << QStringLiteral("via %1 metric %2").arg(route["gateway"].toString()).arg(route["metric"].toInt());
    return parts.join(QLatin1String(", "));
}

} // namespace

class tst_restart_kernel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void overrideAndRestart_data();
    void overrideAndRestart();

private:
    QTemporaryDir stateDir;
    QScopedPointer<testnet::Peer> peer;
};

void tst_restart_kernel::initTestCase()
{
    const QString why = testnet::unavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(stateDir.isValid());
    qputenv("VANTOREL_STATE_DIR", stateDir.path().toLocal8Bit());
    qunsetenv("VANTOREL_CLASS_KEY");
}

void tst_restart_kernel::init()
{
    // A new pair each time: a new device under the same name, whose own
    // address is not the one the previous pair had.
    peer.reset(new testnet::Peer(adapter, QStringLiteral("10.78.0.1/24")));
    QVERIFY(peer->ok());
    QVERIFY(testnet::ip({"addr", "add", "10.78.0.2/24", "dev", adapter}));
    QVERIFY(testnet::ip({"route", "add", "default", "via", "10.78.0.1", "dev", adapter, "metric", "30"}));
}

void tst_restart_kernel::cleanup()
{
    peer.reset();
}

void tst_restart_kernel::overrideAndRestart_data()
{
    QTest::addColumn<QStringList>("overrides");   // each stored and applied in turn
    QTest::addColumn<QString>("address");         // empty: the adapter's own

    QTest::newRow("dashes") << QStringList{"02-11-22-33-44-55"} << "02:11:22:33:44:55";
    QTest::newRow("colons, mixed case") << QStringList{"02:aA:bB:cc:dd:EE"} << "02:aa:bb:cc:dd:ee";
    QTest::newRow("digits only") << QStringList{"0211223344AA"} << "02:11:22:33:44:aa";
    QTest::newRow("empty: own address back") << QStringList{"02-11-22-33-44-55", ""} << "";
    QTest::newRow("two overrides, then own") << QStringList{"02-11-22-33-44-55", "02-11-22-33-44-66", ""} << "";
    QTest::newRow("too short: own address") << QStringList{"02-11-22-33-44-55", "02-11-22"} << "";
    QTest::newRow("group address refused") << QStringList{"01-00-5E-00-00-01"} << "";
}

void tst_restart_kernel::overrideAndRestart()
{
    QFETCH(QStringList, overrides);
    QFETCH(QString, address);

    const QString own = linkAddress();
    const QString before = configuration();
    QCOMPARE(before, QStringLiteral("up, 10.78.0.2/24, via 10.78.0.1 metric 30"));

    windowChanger changer;
    const QMetaObject *meta = changer.metaObject();
    const QMetaMethod setMac = meta->method(meta->indexOfMethod("setMac(QStringList)"));
    const QMetaMethod restartCard = meta->method(meta->indexOfMethod("restartCard(QString)"));
    for (const QString &override : overrides) {
        QStringList result;
        QVERIFY(setMac.invoke(&changer, Qt::DirectConnection, Q_RETURN_ARG(QStringList, result),
                              Q_ARG(QStringList, QStringList({adapter, override}))));
        QVERIFY2(result.size() == 2 && result.at(0) == "1" && result.at(1).size() == 43,
                 qPrintable("the override was not stored: " + result.join(' ')));

        bool restarted = false;
        QVERIFY(restartCard.invoke(&changer, Qt::DirectConnection, Q_RETURN_ARG(bool, restarted),
                                   Q_ARG(QString, result.at(1))));
        QVERIFY2(restarted, qPrintable("restarting " + result.at(1) + " failed"));
        QVERIFY2(configuration() == before,
                 qPrintable(QStringLiteral("after %1: %2, was %3").arg(override, configuration(), before)));
    }
    QCOMPARE(linkAddress(), address.isEmpty() ? own : address);
}

QTEST_GUILESS_MAIN(tst_restart_kernel)
#include "tst_restart_kernel.moc"
