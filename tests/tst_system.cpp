#include <QtTest>

class tst_system : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_system)
#include "tst_system.moc"
