#include <QtTest>

class tst_iphlpapi_kernel : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_iphlpapi_kernel)
#include "tst_iphlpapi_kernel.moc"
