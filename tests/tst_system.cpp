// The whole road on the real kernel: the window's slots, through the worker,
// cmd.exe and netsh, to rtnetlink, dhcpcd and the resolver, and back through
// the IP Helper stand-in into the panel.
#include "daverirido.h"
#include "netns.h"
#include "window.h"

#include <QApplication>
#include <QDir>
#include <QHostAddress>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

using namespace testwindow;

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// What the kernel and the resolver hold for the interface, as ip -j and the resolver say.
QString snapshot(const QString &dev)
{
    const QJsonArray addresses = testnet::ipJson({"-4", "addr", "show", "dev", dev});
    const QJsonArray routes = testnet::ipJson({"-4", "route", "show", "dev", dev});
    return QString::fromUtf8(QJsonDocument(addresses).toJson(QJsonDocument::Compact)
                             + QJsonDocument(routes).toJson(QJsonDocument::Compact))
        + readFile("/etc/resolv.conf");
}



} // namespace

class tst_system : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void staticConfigurationIsApplied();
    void manualChange_data();
    void manualChange();
    void dhcpAddressArrivesThenStaticStopsTheClient();
    void refusedChangeLosesNothing();
    void vanishedInterfaceIsReported();

private:
    void openWindowOn(const QString &adapter);
    void apply(const QString &ip, const QString &dns = "10.77.0.53", const QString &mask = "255.255.255.0",
               const QString &gateway = "10.77.0.1");

    QTemporaryDir m_state;
    std::unique_ptr<testnet::Peer> m_peer;
    std::unique_ptr<davErirido> m_window;
};

void tst_system::initTestCase()
{
    const QString why = testnet::unavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
    const QString systemroot = qEnvironmentVariable("VANTOREL_BUILD_DIR");
    QVERIFY2(QFile::exists(systemroot + "/system32/netsh"), "the stand-ins are built beside the program");
    qputenv("systemroot", QFile::encodeName(systemroot));
}

void tst_system::init()
{
    m_peer.reset(new testnet::Peer("vt0", "10.77.0.1/24"));
    QVERIFY(m_peer->ok());
    QVERIFY(m_peer->startDhcp("10.77.0.50", "10.77.0.60", "10.77.0.53"));
    QVERIFY(testnet::ip({"addr", "add", "10.77.0.10/24", "dev", "vt0"}));
    QVERIFY(testnet::ip({"route", "add", "default", "via", "10.77.0.1", "dev", "vt0"}));
    QVERIFY(testnet::useResolvConf("nameserver 10.77.0.1\n"));
    openWindowOn("vt0");
    QCOMPARE(m_window->ipInfoLabel->text(), QString("10.77.0.10"));
}

void tst_system::cleanup()
{
    m_window.reset();
    for (const QString &pid : testnet::dhcpClients())
        kill(pid.toInt(), SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(testnet::dhcpClients().isEmpty(), 5000);
    m_peer.reset();
    QDir(m_state.path()).removeRecursively();
    QDir().mkpath(m_state.path());
}

void tst_system::openWindowOn(const QString &adapter)
{
    QVERIFY2(testwindow::openOn(m_window, adapter), qPrintable(adapter + " is listed"));
}

void tst_system::apply(const QString &ip, const QString &dns, const QString &mask, const QString &gateway)
{
    QVERIFY(testwindow::apply(m_window.get(), {ip, mask, gateway, dns}));
}

void tst_system::staticConfigurationIsApplied()
{
    apply("10.77.0.20");
    QCOMPARE(m_window->statusbar->currentMessage(), Finished);
    QCOMPARE(panel(m_window.get()), QStringList({"Manual", "10.77.0.20", "255.255.255.0", "10.77.0.1", "10.77.0.53"}));
    // The kernel and the resolver agree with the panel.
    QCOMPARE(testnet::addressesOf("vt0"), QStringList{"10.77.0.20/24"});
    const QJsonArray routes = testnet::ipJson({"-4", "route", "show", "default", "dev", "vt0"});
    QCOMPARE(routes.size(), 1);
    QCOMPARE(routes.at(0)["gateway"].toString(), QString("10.77.0.1"));
    QVERIFY2(readFile("/etc/resolv.conf").startsWith("nameserver 10.77.0.53\n"), "static DNS in the resolver");
}

void tst_system::manualChange_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<bool>("otherGateway"); // a second adapter with a gateway at metric 1
    QTest::addColumn<QString>("expected"); // addresses | default routes
    QTest::newRow("gateway only") << "10.77.0.10" << "255.255.255.0" << "10.77.0.254" << false << "10.77.0.10/24 | 10.77.0.254 1";
    QTest::newRow("address in the same subnet") << "10.77.0.20" << "255.255.255.0" << "10.77.0.1" << false << "10.77.0.20/24 | 10.77.0.1 1";
    QTest::newRow("netmask only") << "10.77.0.10" << "255.255.0.0" << "10.77.0.1" << false << "10.77.0.10/16 | 10.77.0.1 1";
    QTest::newRow("beside an adapter with its gateway") << "10.77.0.20" << "255.255.255.0" << "10.77.0.1" << true << "10.77.0.20/24 | 10.77.0.1 1";
}

// The window's own road for the everyday changes: each reads back as written,
// and the other adapter keeps its gateway.
void tst_system::manualChange()
{
    QFETCH(QString, ip);
    QFETCH(QString, mask);
    QFETCH(QString, gateway);
    QFETCH(bool, otherGateway);
    QFETCH(QString, expected);
    testnet::Peer other("vt9", "10.78.0.1/24");
    QVERIFY(other.ok() && testnet::ip({"addr", "add", "10.78.0.5/24", "dev", "vt9"}));
    if (otherGateway)
        QVERIFY(testnet::ip({"route", "add", "default", "via", "10.78.0.1", "dev", "vt9", "metric", "1"}));
    const auto kernelOf = [](const QString &dev) {
        return QJsonDocument(testnet::ipJson({"-d", "addr", "show", "dev", dev})).toJson()
            + QJsonDocument(testnet::ipJson({"-d", "route", "show", "table", "all", "dev", dev})).toJson();
    };
    const QByteArray otherBefore = kernelOf("vt9");
    QStringList messages;
    connect(m_window->statusbar, &QStatusBar::messageChanged, this, [&messages](const QString &m) { messages << m; });
    apply(ip, "10.77.0.53", mask, gateway);
    QCOMPARE(messages, QStringList({"changing the IP, netmask and gateway !", "IP, netmask and gateway change finished.",
                                    "changing the DNS  !", "DNS changes finished.", Finished}));
    QStringList routes;
    for (const QJsonValue &r : testnet::ipJson({"-4", "route", "show", "default", "dev", "vt0"}))
        routes << r["gateway"].toString() + " " + QString::number(r["metric"].toInt());
    QCOMPARE(testnet::addressesOf("vt0").join(' ') + " | " + routes.join(' '), expected);
    QCOMPARE(kernelOf("vt9"), otherBefore);
}

void tst_system::dhcpAddressArrivesThenStaticStopsTheClient()
{
    QStringList messages;
    connect(m_window->statusbar, &QStatusBar::messageChanged, this, [&messages](const QString &m) { messages << m; });
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), "dhcpAddress"));
    QCOMPARE(messages, QStringList({"Auto distributing ip, netmask, and gateway...", "Auto distributing DNS server...",
                                    DhcpSwitched}));
    QVERIFY2(!testnet::dhcpClients().isEmpty(), "a DHCP client serves the adapter");

    // The refresh timer re-reads the adapter every second until the lease is there.
    QTRY_COMPARE_WITH_TIMEOUT(m_window->statusbar->currentMessage(), Refreshed, 30000);
    const QString leased = m_window->ipInfoLabel->text();
    QVERIFY2(QHostAddress(leased).isInSubnet(QHostAddress("10.77.0.48"), 28), qPrintable(leased));
    QCOMPARE(m_window->addressTypeInfoLabel->text(), QString("DHCP"));
    QCOMPARE(m_window->gatewayInfoLabel->text(), QString("10.77.0.1"));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->dns1InfoLabel->text(), QString("10.77.0.53"), 5000);
    QCOMPARE(testnet::addressesOf("vt0"), QStringList{leased + "/24"});

    // Static again: the client is stopped and its address is gone.
    apply("10.77.0.21");
    QCOMPARE(m_window->statusbar->currentMessage(), Finished);
    QCOMPARE(m_window->addressTypeInfoLabel->text(), QString("Manual"));
    QVERIFY(testnet::dhcpClients().isEmpty());
    QCOMPARE(testnet::addressesOf("vt0"), QStringList{"10.77.0.21/24"});
}

void tst_system::refusedChangeLosesNothing()
{
    // cmd.exe and netsh run without the right to change interfaces.
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath("system32"));
    const QString real = qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32";
    QFile wrapper(root.path() + "/system32/cmd.exe");
    QVERIFY(wrapper.open(QIODevice::WriteOnly));
    wrapper.write(QStringLiteral("#!/bin/sh\nexec setpriv --inh-caps=-all --bounding-set=-all %1/cmd.exe \"$@\"\n")
                      .arg(real).toUtf8());
    wrapper.close();
    wrapper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray systemroot = qgetenv("systemroot");
    qputenv("systemroot", QFile::encodeName(root.path()));

    const QString before = snapshot("vt0");
    apply("10.77.0.30");
    QCOMPARE(m_window->statusbar->currentMessage(), AddressFailed);
    QCOMPARE(snapshot("vt0"), before);

    QVERIFY(QMetaObject::invokeMethod(m_window.get(), "dhcpAddress"));
    QCOMPARE(m_window->statusbar->currentMessage(), DhcpSwitched);
    QVERIFY(testnet::dhcpClients().isEmpty());
    QCOMPARE(snapshot("vt0"), before);
    qputenv("systemroot", systemroot);
}

void tst_system::vanishedInterfaceIsReported()
{
    QVERIFY(testnet::ip({"tuntap", "add", "dev", "vt1", "mode", "tap"}));
    openWindowOn("vt1");
    QVERIFY(testnet::ip({"link", "del", "vt1"}));

    const QString before = snapshot("vt0");
    apply("10.77.0.31");
    QCOMPARE(m_window->statusbar->currentMessage(), AddressFailed);
    QCOMPARE(m_window->ipInfoLabel->text(), QString());
    QCOMPARE(snapshot("vt0"), before);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));
    tst_system test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_system.moc"
