#include "fakeplatform.h"
#include "windowchanger.h"

#include <QtTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString prefix = QStringLiteral("{4D36E972-E325-11CE-BFC1-08002bE10318}\\");

// Four adapters as the platform numbers them; 0002 has no instance identifier
// and 0003 repeats the one of 0001.
const QByteArray classKeyText = "[0000]\n"
                                "NetCfgInstanceId={6A1F0B0C-11AA-4C3B-9D11-0123456789AB}\n"
                                "DriverDesc=First adapter\n"
                                "[0001]\n"
                                "NetCfgInstanceId={B7C2D3E4-22BB-4D4C-8E22-FEDCBA987654}\n"
                                "NetworkAddress=001122334455\n"
                                "[0002]\n"
                                "DriverDesc=Adapter without an identifier\n"
                                "[0003]\n"
                                "NetCfgInstanceId={B7C2D3E4-22BB-4D4C-8E22-FEDCBA987654}\n";
const QString first = QStringLiteral("{6A1F0B0C-11AA-4C3B-9D11-0123456789AB}");
const QString second = QStringLiteral("{B7C2D3E4-22BB-4D4C-8E22-FEDCBA987654}");

QMap<QString, QString> contentsOf(const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    QMap<QString, QString> values;
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        values.insert(key, settings.value(key).toString());
    return values;
}

// The override is reached only by its signature, as its callers do.
bool invokeSetMac(windowChanger &changer, const QStringList &macList, QStringList *result)
{
    const QMetaObject *meta = changer.metaObject();
    const QMetaMethod method = meta->method(meta->indexOfMethod("setMac(QStringList)"));
    return method.invoke(&changer, Qt::DirectConnection, Q_RETURN_ARG(QStringList, *result),
                         Q_ARG(QStringList, macList));
}

} // namespace

class tst_macoverride : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void setMac_data();
    void setMac();
    void missingClassKey();
    void readOnlyClassKey_data();
    void readOnlyClassKey();

private:
    // Makes the class key's folder unwritable for this process, root included.
    bool makeReadOnly(QString *why);

    QScopedPointer<QTemporaryDir> dir;
    QString classKey;
    bool mounted = false;
};

void tst_macoverride::init()
{
    fake::reset();
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    classKey = dir->filePath(QStringLiteral("class-key.ini"));
    QFile file(classKey);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(classKeyText) == classKeyText.size());
    file.close();
    qputenv("VANTOREL_CLASS_KEY", classKey.toLocal8Bit());
}

void tst_macoverride::cleanup()
{
    if (mounted)
        ::umount2(dir->path().toLocal8Bit().constData(), MNT_DETACH);
    mounted = false;
    ::chmod(dir->path().toLocal8Bit().constData(), 0700);
    ::chmod(classKey.toLocal8Bit().constData(), 0600);
    dir.reset();
    qunsetenv("VANTOREL_CLASS_KEY");
}

void tst_macoverride::setMac_data()
{
    QTest::addColumn<QStringList>("macList");
    QTest::addColumn<QStringList>("result");
    QTest::addColumn<QString>("written");       // the subkey whose NetworkAddress changes; empty: none

    QTest::newRow("match") << QStringList{first, "02-11-22-33-44-55"} << QStringList{"1", prefix + "0000"}
                           << "0000";
    QTest::newRow("replaces an override") << QStringList{second, "021122334455"}
                                          << QStringList{"1", prefix + "0001"} << "0001";
    QTest::newRow("no match") << QStringList{"{00000000-0000-0000-0000-000000000000}", "021122334455"}
                              << QStringList{"1", prefix} << "";
    QTest::newRow("letter case differs") << QStringList{first.toLower(), "021122334455"}
                                         << QStringList{"1", prefix} << "";
    QTest::newRow("missing identifier reads as 0") << QStringList{"0", "021122334455"}
                                                   << QStringList{"1", prefix + "0002"} << "0002";
    QTest::newRow("colons kept") << QStringList{first, "02:aa:BB:cc:DD:ee"} << QStringList{"1", prefix + "0000"}
                                 << "0000";
    QTest::newRow("empty address written") << QStringList{first, ""} << QStringList{"1", prefix + "0000"} << "0000";
    QTest::newRow("extra elements ignored") << QStringList{first, "021122334455", second, "0"}
                                            << QStringList{"1", prefix + "0000"} << "0000";
    QTest::newRow("one element") << QStringList{first} << QStringList{"0"} << "";
    QTest::newRow("empty list") << QStringList{} << QStringList{"0"} << "";
}

void tst_macoverride::setMac()
{
    QFETCH(QStringList, macList);
    QFETCH(QStringList, result);
    QFETCH(QString, written);

    QMap<QString, QString> expected = contentsOf(classKey);
    if (!written.isEmpty())
        expected.insert(written + "/NetworkAddress", macList.at(1));

    windowChanger changer;
    QStringList actual;
    QVERIFY2(invokeSetMac(changer, macList, &actual), "setMac(QStringList) can't be invoked");
    QCOMPARE(actual, result);
    if (actual.size() == 2 && !written.isEmpty())
        QCOMPARE(actual.at(1).size(), 43);
    // Read back from the file: the value must be stored by the time the result is.
    QCOMPARE(contentsOf(classKey), expected);
}

void tst_macoverride::missingClassKey()
{
    const QString missing = dir->filePath(QStringLiteral("none/class-key.ini"));
    qputenv("VANTOREL_CLASS_KEY", missing.toLocal8Bit());
    windowChanger changer;
    QCOMPARE(changer.setMac({"0", "021122334455"}), (QStringList{"1", prefix}));
    QVERIFY2(!QFile::exists(missing), "a class key without subkeys was written");
}

bool tst_macoverride::makeReadOnly(QString *why)
{
    const QByteArray path = dir->path().toLocal8Bit();
    if (::geteuid() != 0) {
        ::chmod(classKey.toLocal8Bit().constData(), 0444);
        ::chmod(path.constData(), 0555);
    } else {
        // File modes don't stop root; a read-only mount does. The mount
        // namespace is this thread's own and goes away with the test.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0) {
            *why = QStringLiteral("can't make a mount namespace: %1").arg(qt_error_string(errno));
            return false;
        }
        mounted = true;
        if (::mount(nullptr, path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            *why = QStringLiteral("can't mount read-only: %1").arg(qt_error_string(errno));
            return false;
        }
    }
    QFile probe(classKey);
    if (probe.open(QIODevice::ReadWrite)) {
        *why = QStringLiteral("the class key file stays writable");
        return false;
    }
    return true;
}

void tst_macoverride::readOnlyClassKey_data()
{
    QTest::addColumn<QStringList>("macList");
    QTest::addColumn<QStringList>("result");

    QTest::newRow("match") << QStringList{second, "02-11-22-33-44-55"} << QStringList{"0"};
    QTest::newRow("no match") << QStringList{first.toLower(), "02-11-22-33-44-55"} << QStringList{"1", prefix};
}

void tst_macoverride::readOnlyClassKey()
{
    QFETCH(QStringList, macList);
    QFETCH(QStringList, result);

    QString why;
    if (!makeReadOnly(&why))
        QSKIP(qPrintable(why));
    windowChanger changer;
    QCOMPARE(changer.setMac(macList), result);

    QFile file(classKey);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY2(file.readAll() == classKeyText, "the class key changed");
}

QTEST_GUILESS_MAIN(tst_macoverride)
#include "tst_macoverride.moc"
