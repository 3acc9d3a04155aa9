#include "windowchanger.h"
#include <QtTest>
#include <sched.h>
#include <sys/mount.h>

static const QString id = QStringLiteral("{6A1F0B0C-11AA-4C3B-9D11-0123456789AB}");
class tst_macoverride : public QObject
{
    Q_OBJECT
private slots:
    void setMac_data();
    void setMac();
};

void tst_macoverride::setMac_data()
{
    QTest::addColumn<QStringList>("macList");
    QTest::addColumn<QString>("subkey");   // the one written and named in the result; "-": a read-only class key, result "0"
    QTest::newRow("match, extras ignored") << QStringList{id, "02-aa-BB:cc:DD-ee", "0", "x"} << "0000";
    QTest::newRow("empty address") << QStringList{id, ""} << "0000";
    QTest::newRow("no match: letter case differs") << QStringList{id.toLower(), "021122334455"} << "";
    QTest::newRow("no identifier reads as 0") << QStringList{"0", "021122334455"} << "0001";
    QTest::newRow("read-only class key") << QStringList{id, "021122334455"} << "-";
}

void tst_macoverride::setMac()
{
    QFETCH(QStringList, macList);
    QFETCH(QString, subkey);
    const bool readOnly = subkey == "-";   // 0001 has no instance identifier; 0002 repeats 0000's and keeps its override
    QVariantMap expected{{"0000/NetCfgInstanceId", id}, {"0001/DriverDesc", "none"}, {"0002/NetCfgInstanceId", id},
                         {"0002/NetworkAddress", "001122334455"}};
    QTemporaryDir dir;
    QSettings classKey(dir.filePath("class-key.ini"), QSettings::IniFormat);
    for (auto value = expected.cbegin(); value != expected.cend(); ++value)
        classKey.setValue(value.key(), value.value());
    classKey.sync();
    qputenv("VANTOREL_CLASS_KEY", QFile::encodeName(classKey.fileName()));
    // File modes don't stop root; a read-only bind mount, in a mount namespace of our own, does.
    const QByteArray folder = QFile::encodeName(dir.path());
    const auto unmount = qScopeGuard([&] { if (readOnly) ::umount(folder); });
    if (readOnly && (::unshare(CLONE_NEWNS) || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)
                     || ::mount(folder, folder, nullptr, MS_BIND, nullptr)
                     || ::mount(nullptr, folder, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr)))
        QSKIP(qPrintable("can't mount the class key read-only: " + qt_error_string(errno)));
    QCOMPARE(windowChanger().setMac(macList), readOnly ? QStringList({"0"}) : QStringList({"1", "{4D36E972-E325-11CE-BFC1-08002bE10318}\\" + subkey}));
    if (subkey.size() == 4)
        expected[subkey + "/NetworkAddress"] = macList.at(1);
    for (const QString &key : classKey.allKeys())
        QVERIFY2(classKey.value(key) == expected.take(key), qPrintable(key + " is not as it should be"));
    QVERIFY2(expected.isEmpty(), qPrintable(QStringList(expected.keys()).join(' ') + " went missing"));
}

QTEST_GUILESS_MAIN(tst_macoverride)
#include "tst_macoverride.moc"
