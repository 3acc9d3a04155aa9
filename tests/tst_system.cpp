// "Manual change" on the real kernel: the window's slot, through the worker,
// cmd.exe and netsh, to rtnetlink and the resolver, and back through the IP
// Helper stand-in into the panel.
#include "daverirido.h"
#include "netns.h"
#include "window.h"

#include <QApplication>
#include <QStyleFactory>
#include <QtTest>

namespace {

// "10.0.0.5/24 | 10.0.0.1 1 | nameserver 10.0.0.53": addresses, default routes, the resolver's first line.
QString configOf(const QString &dev)
{
    QStringList routes;
    for (const QJsonValue &r : testnet::ipJson({"-4", "route", "show", "default", "dev", dev}))
        routes << r["gateway"].toString() + " " + QString::number(r["metric"].toInt());
    QFile resolver("/etc/resolv.conf");
    const QString first = resolver.open(QIODevice::ReadOnly) ? QString(resolver.readLine()).trimmed() : QString();
    return testnet::addressesOf(dev).join(' ') + " | " + routes.join(' ') + " | " + first;
}

} // namespace

class tst_system : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void manualChange_data();
    void manualChange();

private:
    QTemporaryDir m_state;
    QTemporaryDir m_unprivileged; // a system32/ whose cmd.exe may not change interfaces
};

void tst_system::initTestCase()
{
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
    const QString real = qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32";
    QVERIFY(QDir(m_unprivileged.path()).mkpath("system32"));
    QFile wrapper(m_unprivileged.path() + "/system32/cmd.exe");
    QVERIFY(wrapper.open(QIODevice::WriteOnly) && wrapper.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    wrapper.write(QString("#!/bin/sh\nexec setpriv --inh-caps=-all --bounding-set=-all %1/cmd.exe \"$@\"\n").arg(real).toUtf8());
}

void tst_system::manualChange_data()
{
    QTest::addColumn<QStringList>("fields"); // IP, netmask, gateway, DNS server as typed
    QTest::addColumn<bool>("otherGateway"); // a second adapter with a gateway at metric 1
    QTest::addColumn<bool>("privileged"); // else cmd.exe and netsh run without the right to change interfaces
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("expected"); // configOf() after it
    const QStringList done = {"changing the IP, netmask and gateway !", "IP, netmask and gateway change finished.",
                              "changing the DNS  !", "DNS changes finished.", testwindow::Finished};
    const QString dns = "10.77.0.53";
    QTest::newRow("gateway only") << QStringList{"10.77.0.10", "255.255.255.0", "10.77.0.254", dns} << false << true << done
                                  << "10.77.0.10/24 | 10.77.0.254 1 | nameserver 10.77.0.53";
    QTest::newRow("netmask only") << QStringList{"10.77.0.10", "255.255.0.0", "10.77.0.1", dns} << false << true << done
                                  << "10.77.0.10/16 | 10.77.0.1 1 | nameserver 10.77.0.53";
    QTest::newRow("address, beside an adapter with its gateway") << QStringList{"10.77.0.20", "255.255.255.0", "10.77.0.1", dns}
                                                                 << true << true << done << "10.77.0.20/24 | 10.77.0.1 1 | nameserver 10.77.0.53";
    QTest::newRow("refused") << QStringList{"10.77.0.30", "255.255.255.0", "10.77.0.1", dns} << false << false
                             << QStringList{"changing the IP, netmask and gateway !", testwindow::AddressFailed}
                             << "10.77.0.10/24 | 10.77.0.1 0 | nameserver 10.77.0.1";
}

// Each change reads back as typed, in the panel and the kernel, with the
// window's exact texts on the way; the other adapter keeps everything.
void tst_system::manualChange()
{
    QFETCH(QStringList, fields);
    QFETCH(bool, otherGateway);
    QFETCH(bool, privileged);
    QFETCH(QStringList, messages);
    QFETCH(QString, expected);
    testnet::Peer peer("vt0", "10.77.0.1/24");
    testnet::Peer other("vt9", "10.78.0.1/24");
    QVERIFY(peer.ok() && other.ok() && testnet::useResolvConf("nameserver 10.77.0.1\n")
            && testnet::ip({"addr", "add", "10.77.0.10/24", "dev", "vt0"})
            && testnet::ip({"route", "add", "default", "via", "10.77.0.1", "dev", "vt0"})
            && testnet::ip({"addr", "add", "10.78.0.5/24", "dev", "vt9"}));
    if (otherGateway)
        QVERIFY(testnet::ip({"route", "add", "default", "via", "10.78.0.1", "dev", "vt9", "metric", "1"}));
    const auto kernelOf = [](const QString &dev) {
        return QJsonDocument(testnet::ipJson({"-d", "addr", "show", "dev", dev})).toJson()
            + QJsonDocument(testnet::ipJson({"-d", "route", "show", "table", "all", "dev", dev})).toJson();
    };
    const QByteArray otherBefore = kernelOf("vt9");
    qputenv("systemroot", privileged ? qgetenv("VANTOREL_BUILD_DIR") : QFile::encodeName(m_unprivileged.path()));
    std::unique_ptr<davErirido> window;
    QVERIFY2(testwindow::openOn(window, "vt0"), "vt0 is listed");
    QStringList shown;
    connect(window->statusbar, &QStatusBar::messageChanged, this, [&shown](const QString &m) { shown << m; });
    QVERIFY(testwindow::apply(window.get(), fields));
    QCOMPARE(shown, messages);
    QCOMPARE(configOf("vt0"), expected);
    QCOMPARE(kernelOf("vt9"), otherBefore);
    if (privileged)
        QCOMPARE(testwindow::panel(window.get()), QStringList{"Manual"} + fields);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));
    tst_system test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_system.moc"
