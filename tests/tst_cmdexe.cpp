#include <QtTest>

class tst_cmdexe : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_cmdexe)
#include "tst_cmdexe.moc"
