#include "fakeplatform.h"
#include "windowchanger.h"
#include <QtTest>

// An empty driver key: the property can't be read. failing: which of the four change calls fails, 0 none. outcome:
// the result, then the change calls by device index.
struct Restart { std::vector<fake::Device> devices; QString adapterDriver; int failing; QString outcome; };
Q_DECLARE_METATYPE(Restart)
// The driver key as the hardware address override gives it, and the devices' own spelling.
static const QString key = QStringLiteral("{4D36E972-E325-11CE-BFC1-08002bE10318}\\0001");
static const std::u16string k1 = key.toLower().toStdU16String(), k0 = k1.substr(0, 39) + u"0000";
// 20 bytes: header (8) for DIF_PROPERTYCHANGE (18), DICS_STOP (5) or DICS_START (4), config-specific (2), profile 0.
static const SP_PROPCHANGE_PARAMS stop{{8, 18}, 5, 2, 0}, start{{8, 18}, 4, 2, 0};
class tst_restart : public QObject
{
    Q_OBJECT
private slots:
    void restartCard_data();
    void restartCard();
};

void tst_restart::restartCard_data()
{
    QTest::addColumn<Restart>("row");
    QTest::newRow("bare prefix") << Restart{{{k0}, {k1}}, key.left(39), 0, "true"};
    QTest::newRow("other, unreadable, over 43 units, same") << Restart{{{k0}, {u""}, {k1 + u"\\x"}, {k1}}, key, 0, "true, stop 2, change 2, start 2, change 2"};
    QTest::newRow("stop parameters refused") << Restart{{{k1}, {k1}}, key, 1, "false, stop 0"};
    QTest::newRow("stop refused") << Restart{{{k1}, {k1}}, key, 2, "false, stop 0, change 0"};
    QTest::newRow("start parameters refused") << Restart{{{k1}, {k1}}, key, 3, "false, stop 0, change 0, start 0"};
    QTest::newRow("start refused") << Restart{{{k1}, {k1}}, key, 4, "false, stop 0, change 0, start 0, change 0"};
}

void tst_restart::restartCard()
{
    QFETCH(Restart, row);
    fake::reset();
    fake::setDevices(row.devices);
    fake::failSetParamsCall(row.failing % 2 ? row.failing / 2 + 1 : 0);
    fake::failChangeStateCall(row.failing % 2 ? 0 : row.failing / 2);
    QString actual = windowChanger().restartCard(row.adapterDriver) ? "true" : "false";
    QVERIFY2(fake::setupEvents().front().flags == 6 && !fake::openDeviceSets(), "the set was not of present devices of all classes or not destroyed");
    for (const fake::SetupEvent &e : fake::setupEvents()) {
        const auto is = [&e](const SP_PROPCHANGE_PARAMS &p) { return e.paramsSize == 20 && !memcmp(&e.params, &p, 20); };
        if (e.call == fake::SetupCall::SetParams)
            actual += QString(", %1 %2").arg(is(stop) ? "stop" : is(start) ? "start" : "wrong").arg(e.device);
        if (e.call == fake::SetupCall::ChangeState)
            actual += QString(", change %1").arg(e.device);
    }
    QCOMPARE(actual, row.outcome);
}

QTEST_GUILESS_MAIN(tst_restart)
#include "tst_restart.moc"
