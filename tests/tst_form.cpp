#include <QtTest>

class tst_form : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_form)
#include "tst_form.moc"
