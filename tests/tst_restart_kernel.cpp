#include "netns.h"
#include "windowchanger.h"
#include <QtTest>

// The link's address and state, its IPv4 addresses and its default routes.
static QString linkState()
{
    const QJsonObject link = testnet::ipJson({"link", "show", "dev", "vr0"}).at(0).toObject();
    QString state = link["address"].toString() + (link["flags"].toArray().contains("UP") ? " up" : " down");
    for (const QJsonValue &a : testnet::ipJson({"-4", "addr", "show", "dev", "vr0"}).at(0)["addr_info"].toArray())
        state += QString(" %1/%2").arg(a["local"].toString()).arg(a["prefixlen"].toInt());
    for (const QJsonValue &route : testnet::ipJson({"-4", "route", "show", "default", "dev", "vr0"}))
        state += QString(" via %1 metric %2").arg(route["gateway"].toString()).arg(route["metric"].toInt());
    return state;
}

class tst_restart_kernel : public QObject
{
    Q_OBJECT
private slots:
    void overrideAndRestart();
};

void tst_restart_kernel::overrideAndRestart()
{
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    QTemporaryDir stateDir;
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(stateDir.path()));
    testnet::Peer peer("vr0", "10.78.0.1/24");
    QVERIFY(peer.ok() && testnet::ip({"addr", "add", "10.78.0.2/24", "dev", "vr0"})
            && testnet::ip({"route", "add", "default", "via", "10.78.0.1", "dev", "vr0", "metric", "30"}));
    const QString own = linkState().left(17), rest = " up 10.78.0.2/24 via 10.78.0.1 metric 30";
    // An override in the adapter record's form, then none: the adapter's own address comes back.
    windowChanger changer;
    for (const QStringList &step : {QStringList{"02-aA-bB-cc-dd-EE", "02:aa:bb:cc:dd:ee"}, QStringList{"", own}}) {
        const QStringList result = changer.setMac({"vr0", step[0]});
        QVERIFY2(result.size() == 2 && result[0] == "1" && changer.restartCard(result[1]), qPrintable("storing or restarting failed: " + result.join(' ')));
        QCOMPARE(linkState(), step[1] + rest);
    }
}

QTEST_GUILESS_MAIN(tst_restart_kernel)
#include "tst_restart_kernel.moc"
