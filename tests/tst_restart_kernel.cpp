#include <QtTest>

class tst_restart_kernel : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_restart_kernel)
#include "tst_restart_kernel.moc"
