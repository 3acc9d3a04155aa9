#include <QtTest>

class tst_adapterquery : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_adapterquery)
#include "tst_adapterquery.moc"
