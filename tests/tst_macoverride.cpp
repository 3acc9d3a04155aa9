#include <QtTest>

class tst_macoverride : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_macoverride)
#include "tst_macoverride.moc"
