#include "netns.h"

#include <QtTest>

class tst_system : public QObject
{
    Q_OBJECT

private slots:
    void peerServesDhcp();
};

void tst_system::peerServesDhcp()
{
    const QString why = testnet::unavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    testnet::Peer peer("vt0", "10.77.0.1/24");
    QVERIFY(peer.ok());
    QVERIFY(peer.startDhcp("10.77.0.50", "10.77.0.60", "10.77.0.53"));
    QVERIFY(testnet::useResolvConf("nameserver 10.77.0.53\n"));
    QString resolv;
    testnet::run("cat", {"/etc/resolv.conf"}, &resolv);
    QCOMPARE(resolv, QString("nameserver 10.77.0.53\n"));
}

QTEST_GUILESS_MAIN(tst_system)
#include "tst_system.moc"
