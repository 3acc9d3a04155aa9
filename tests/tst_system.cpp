// "Manual change" on the real kernel: the window's slot, through the worker,
// cmd.exe and netsh, to rtnetlink and the resolver, and back through the IP
// Helper stand-in into the panel.
#include "daverirido.h"
#include "netns.h"
#include "window.h"

#include <QtTest>

class tst_system : public QObject
{
    Q_OBJECT

private slots:
    void manualChange();
};

// A new address and gateway read back as typed, in the panel, the kernel and
// the resolver, with the window's exact texts on the way. What netsh leaves
// alone is tst_netsh's.
void tst_system::manualChange()
{
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    QTemporaryDir state;
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(state.path()));
    qputenv("systemroot", qgetenv("VANTOREL_BUILD_DIR"));
    const QStringList fields = {"10.77.0.20", "255.255.255.0", "10.77.0.254", "10.77.0.53"};
    testnet::Peer peer("vt0", "10.77.0.1/24");
    QVERIFY(peer.ok() && testnet::useResolvConf("nameserver 10.77.0.1\n")
            && testnet::ip({"addr", "add", "10.77.0.10/24", "dev", "vt0"})
            && testnet::ip({"route", "add", "default", "via", "10.77.0.1", "dev", "vt0"}));
    std::unique_ptr<davErirido> window;
    QVERIFY2(testwindow::openOn(window, "vt0"), "vt0 is listed");
    QStringList shown;
    connect(window->statusbar, &QStatusBar::messageChanged, this, [&shown](const QString &m) { shown << m; });
    QVERIFY(testwindow::apply(window.get(), fields));
    QCOMPARE(shown, QStringList({"changing the IP, netmask and gateway !", "IP, netmask and gateway change finished.",
                                 "changing the DNS  !", "DNS changes finished.", testwindow::Finished}));
    QCOMPARE(testnet::configOf("vt0"), QString("10.77.0.20/24 | 10.77.0.254 1 static"));
    QFile resolver("/etc/resolv.conf");
    QVERIFY(resolver.open(QIODevice::ReadOnly));
    QCOMPARE(resolver.readLine().trimmed(), QByteArray("nameserver 10.77.0.53"));
    QCOMPARE(testwindow::panel(window.get()), QStringList{"Manual"} + fields);
}

QTEST_MAIN(tst_system)
#include "tst_system.moc"
