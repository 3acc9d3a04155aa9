#include <QtTest>

class tst_restart : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_restart)
#include "tst_restart.moc"
