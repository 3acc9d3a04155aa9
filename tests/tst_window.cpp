#include <QtTest>

class tst_window : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_window)
#include "tst_window.moc"
