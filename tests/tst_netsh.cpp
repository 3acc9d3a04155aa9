#include <QtTest>

class tst_netsh : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_netsh)
#include "tst_netsh.moc"
