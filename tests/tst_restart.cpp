#include "fakeplatform.h"
#include "windowchanger.h"

#include <QtTest>

namespace {

const QString overrideKey = QStringLiteral("{4D36E972-E325-11CE-BFC1-08002bE10318}\\0001");
const std::u16string key0 = u"{4d36e972-e325-11ce-bfc1-08002be10318}\\0000";
const std::u16string key1 = u"{4d36e972-e325-11ce-bfc1-08002be10318}\\0001";

std::vector<fake::Device> devicesFrom(const QStringList &drivers)
{
    std::vector<fake::Device> devices;
    for (const QString &driver : drivers)
        devices.push_back({driver.toStdU16String(), true});
    return devices;
}

// The calls that change a device, as "SetParams:1" / "ChangeState:1" (device index).
QStringList changes()
{
    QStringList calls;
    for (const fake::SetupEvent &event : fake::setupEvents()) {
        if (event.call == fake::SetupCall::SetParams)
            calls << QStringLiteral("SetParams:%1").arg(event.device);
        else if (event.call == fake::SetupCall::ChangeState)
            calls << QStringLiteral("ChangeState:%1").arg(event.device);
    }
    return calls;
}

QList<bool> startedStates()
{
    QList<bool> states;
    for (const fake::Device &device : fake::devices())
        states << device.started;
    return states;
}

QStringList restartOf(int device)
{
    const QString d = QString::number(device);
    return {"SetParams:" + d, "ChangeState:" + d, "SetParams:" + d, "ChangeState:" + d};
}

// The restart is reached only by its signature, as its callers do.
bool invokeRestart(windowChanger &changer, const QString &adapterDriver, bool *result)
{
    const QMetaObject *meta = changer.metaObject();
    const QMetaMethod method = meta->method(meta->indexOfMethod("restartCard(QString)"));
    return method.invoke(&changer, Qt::DirectConnection, Q_RETURN_ARG(bool, *result), Q_ARG(QString, adapterDriver));
}

} // namespace

class tst_restart : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void restart_data();
    void restart();
    void platformArguments();
    void failedCalls_data();
    void failedCalls();
    void deviceSetUnavailable();
};

void tst_restart::init()
{
    fake::reset();
}

void tst_restart::restart_data()
{
    QTest::addColumn<QStringList>("drivers");   // an empty text: the property can't be read
    QTest::addColumn<QString>("adapterDriver");
    QTest::addColumn<int>("restarted");         // -1: none

    const QString k0 = QString::fromStdU16String(key0);
    const QString k1 = QString::fromStdU16String(key1);
    QTest::newRow("key as the override gives it") << QStringList{k0, k1} << overrideKey << 1;
    QTest::newRow("lower case key") << QStringList{k1} << overrideKey.toLower() << 0;
    QTest::newRow("bare prefix") << QStringList{k0, k1} << overrideKey.left(39) << -1;
    QTest::newRow("unknown instance") << QStringList{k0} << overrideKey << -1;
    QTest::newRow("empty device set") << QStringList{} << overrideKey << -1;
    QTest::newRow("property longer than a driver key") << QStringList{k1 + "\\extra"} << overrideKey << 0;
    QTest::newRow("key longer than a driver key") << QStringList{k1 + "7"} << overrideKey + "7" << -1;
    QTest::newRow("same key twice: first only") << QStringList{k0, k1, k1} << overrideKey << 1;
    QTest::newRow("unreadable property skipped") << QStringList{QString(), k1} << overrideKey << 1;
    QTest::newRow("property too long for the buffer skipped")
        << QStringList{k1 + QString(300, 'x'), k1} << overrideKey << 1;
}

void tst_restart::restart()
{
    QFETCH(QStringList, drivers);
    QFETCH(QString, adapterDriver);
    QFETCH(int, restarted);

    fake::setDevices(devicesFrom(drivers));
    windowChanger changer;
    bool result = false;
    QVERIFY2(invokeRestart(changer, adapterDriver, &result), "restartCard(QString) can't be invoked");
    QVERIFY2(result, "a restart that did not fail reported false");

    QCOMPARE(changes(), restarted < 0 ? QStringList() : restartOf(restarted));
    QVERIFY2(!startedStates().contains(false), "a device was left stopped");
    QCOMPARE(fake::openDeviceSets(), 0);
}

void tst_restart::platformArguments()
{
    fake::setDevices(devicesFrom({QString(), QString::fromStdU16String(key1)}));
    windowChanger changer;
    QVERIFY(changer.restartCard(overrideKey));

    const std::vector<fake::SetupEvent> &events = fake::setupEvents();
    QVERIFY(!events.empty());
    QCOMPARE(events.front().call, fake::SetupCall::GetClassDevs);
    QCOMPARE(events.front().flags, DWORD(DIGCF_PRESENT | DIGCF_ALLCLASSES));
    QCOMPARE(events.back().call, fake::SetupCall::Destroy);

    QList<DWORD> stateChanges;
    int propertyReads = 0;
    for (const fake::SetupEvent &event : events) {
        if (event.call == fake::SetupCall::GetProperty) {
            ++propertyReads;
            QCOMPARE(event.bufferSize, DWORD(520));
        }
        if (event.call != fake::SetupCall::SetParams)
            continue;
        QCOMPARE(event.paramsSize, DWORD(20));
        QCOMPARE(event.params.ClassInstallHeader.cbSize, DWORD(8));
        QCOMPARE(event.params.ClassInstallHeader.InstallFunction, DI_FUNCTION(DIF_PROPERTYCHANGE));
        QCOMPARE(event.params.Scope, DWORD(DICS_FLAG_CONFIGSPECIFIC));
        QCOMPARE(event.params.HwProfile, DWORD(0));
        stateChanges << event.params.StateChange;
    }
    QCOMPARE(propertyReads, 2);
    QCOMPARE(stateChanges, (QList<DWORD>{DICS_STOP, DICS_START}));
}

void tst_restart::failedCalls_data()
{
    QTest::addColumn<int>("failSetParams");     // which call fails, from 1; 0: none
    QTest::addColumn<int>("failChangeState");
    QTest::addColumn<int>("calls");             // change calls made before giving up
    QTest::addColumn<bool>("started");

    QTest::newRow("stop parameters refused") << 1 << 0 << 1 << true;
    QTest::newRow("stop refused") << 0 << 1 << 2 << true;
    QTest::newRow("start parameters refused") << 2 << 0 << 3 << false;
    QTest::newRow("start refused") << 0 << 2 << 4 << false;
}

void tst_restart::failedCalls()
{
    QFETCH(int, failSetParams);
    QFETCH(int, failChangeState);
    QFETCH(int, calls);
    QFETCH(bool, started);

    fake::setDevices(devicesFrom({QString::fromStdU16String(key1), QString::fromStdU16String(key1)}));
    fake::failSetParamsCall(failSetParams);
    fake::failChangeStateCall(failChangeState);
    windowChanger changer;
    bool result = true;
    QVERIFY2(invokeRestart(changer, overrideKey, &result), "restartCard(QString) can't be invoked");
    QVERIFY2(!result, "a failed step was reported as success");

    QCOMPARE(changes(), restartOf(0).mid(0, calls));
    QCOMPARE(startedStates(), (QList<bool>{started, true}));
    QCOMPARE(fake::openDeviceSets(), 0);
}

void tst_restart::deviceSetUnavailable()
{
    fake::setDevices(devicesFrom({QString::fromStdU16String(key1)}));
    fake::failGetClassDevs(true);
    windowChanger changer;
    QVERIFY(changer.restartCard(overrideKey));
    QCOMPARE(changes(), QStringList());
    QCOMPARE(fake::setupEvents().size(), size_t(1));
}

QTEST_GUILESS_MAIN(tst_restart)
#include "tst_restart.moc"
