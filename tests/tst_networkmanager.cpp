// The whole road on an adapter that a real NetworkManager manages (its own,
// on a private bus in this test's namespaces): the window's slots, the worker,
// cmd.exe, netsh, NetworkManager, the kernel, and back into the panel. And an
// adapter that a DHCP client we did not start serves: refused, untouched.
#include "daverirido.h"
#include "netns.h"
#include "nmbus.h"
#include "window.h"
#include "windowchanger.h"

#include <QApplication>
#include <QHostAddress>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testwindow;

const QString Profile = QStringLiteral("wired");
const QString ProfileFields = QStringLiteral("ipv4.method,ipv4.addresses,ipv4.gateway,ipv4.dns,ipv4.ignore-auto-dns");


QString macOf(const QString &dev)
{
    return testnet::ipJson({"link", "show", "dev", dev}).at(0)["address"].toString();
}

// The kernel's addresses and routes of the interface, and the resolver.
QString kernelAndResolver(const QString &dev)
{
    QFile resolver("/etc/resolv.conf");
    resolver.open(QIODevice::ReadOnly);
    return QString::fromUtf8(QJsonDocument(testnet::ipJson({"-4", "addr", "show", "dev", dev})).toJson(QJsonDocument::Compact)
                             + QJsonDocument(testnet::ipJson({"-4", "route", "show", "dev", dev})).toJson(QJsonDocument::Compact)
                             + resolver.readAll());
}


int netsh(const QStringList &arguments, QString *output, const QStringList &prefix = {})
{
    const QString program = qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/netsh";
    return prefix.isEmpty() ? testnet::run(program, arguments, output)
                            : testnet::run(prefix.first(), prefix.mid(1) + QStringList{program} + arguments, output);
}

// Runs as nobody, who may ask NetworkManager but not change it.
const QStringList AsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

} // namespace

class tst_networkmanager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void staticChangeLasts_data();
    void staticChangeLasts();
    void dhcpThroughNetworkManagerThenStatic();
    void refusedChangeLosesNothing_data();
    void refusedChangeLosesNothing();
    void macOverrideAndRestart();
    void deviceWithoutProfileGetsOne();
    void foreignClientIsRefused_data();
    void foreignClientIsRefused();

private:
    void openWindowOn(const QString &adapter);
    void apply(const QString &ip, const QString &dns);

    QTemporaryDir m_state;
    std::unique_ptr<testnet::Peer> m_peer;
    std::unique_ptr<testnet::NetworkManager> m_nm;
    std::unique_ptr<davErirido> m_window;
};

void tst_networkmanager::initTestCase()
{
    const QString why = testnet::unavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    for (const QString program : {"NetworkManager", "dbus-daemon", "nmcli"}) {
        if (QStandardPaths::findExecutable(program, {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}).isEmpty())
            QSKIP(qPrintable(program + " is not installed (package network-manager, dbus)"));
    }
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
    qputenv("systemroot", QFile::encodeName(qEnvironmentVariable("VANTOREL_BUILD_DIR")));
    QVERIFY(testnet::useResolvConf("nameserver 10.79.0.1\n"));
    m_peer.reset(new testnet::Peer("vn0", "10.79.0.1/24"));
    QVERIFY(m_peer->ok());
    QVERIFY(m_peer->startDhcp("10.79.0.50", "10.79.0.60", "10.79.0.53"));
    m_nm.reset(new testnet::NetworkManager({"vn0"}));
    QVERIFY2(m_nm->ok(), "NetworkManager manages vn0");
    // A desktop's wired profile with a static configuration.
    QCOMPARE(m_nm->nmcli({"connection", "add", "type", "ethernet", "ifname", "vn0", "con-name", Profile,
                          "ipv6.method", "disabled"}), 0);
}

void tst_networkmanager::cleanupTestCase()
{
    m_window.reset();
    m_nm.reset();
    m_peer.reset();
    // Nothing of the test's NetworkManager, bus or DHCP server outlives it.
    QString left;
    for (const char *name : {"NetworkManager", "dbus-daemon", "dnsmasq", "dhcpcd"}) {
        QString pids;
        testnet::run("pgrep", {"--ns", QString::number(getpid()), "--nslist", "net", "-x", name}, &pids);
        left += pids.trimmed();
    }
    QVERIFY2(left.isEmpty(), qPrintable("still running: " + left));
}

void tst_networkmanager::init()
{
    if (QTest::currentTestFunction() == QLatin1String("foreignClientIsRefused"))
        return;
    QString output;
    QVERIFY2(m_nm->nmcli({"connection", "modify", Profile, "ipv4.method", "manual", "ipv4.addresses", "10.79.0.10/24",
                          "ipv4.gateway", "10.79.0.1", "ipv4.dns", "10.79.0.1", "ipv4.ignore-auto-dns", "no",
                          "802-3-ethernet.cloned-mac-address", ""}, &output) == 0, qPrintable(output));
    QVERIFY2(m_nm->nmcli({"connection", "up", Profile}, &output) == 0, qPrintable(output));
    openWindowOn("vn0");
    QCOMPARE(m_window->ipInfoLabel->text(), QString("10.79.0.10"));
    QCOMPARE(m_window->dns1InfoLabel->text(), QString("10.79.0.1"));
}

void tst_networkmanager::cleanup()
{
    m_window.reset();
}

void tst_networkmanager::openWindowOn(const QString &adapter)
{
    QVERIFY2(testwindow::openOn(m_window, adapter), qPrintable(adapter + " is listed"));
}

void tst_networkmanager::apply(const QString &ip, const QString &dns)
{
    QVERIFY(testwindow::apply(m_window.get(), {ip, "255.255.255.0", "10.79.0.1", dns}));
}

void tst_networkmanager::staticChangeLasts_data()
{
    QTest::addColumn<QStringList>("again");
    QTest::newRow("reapply") << QStringList{"device", "reapply", "vn0"};
    QTest::newRow("reconnect") << QStringList{"connection", "up", Profile};
}

void tst_networkmanager::staticChangeLasts()
{
    QFETCH(QStringList, again);
    apply("10.79.0.20", "10.79.0.53");
    QCOMPARE(m_window->statusbar->currentMessage(), Finished);
    QCOMPARE(panel(m_window.get()), QStringList({"Manual", "10.79.0.20", "255.255.255.0", "10.79.0.1", "10.79.0.53"}));
    // Made in the profile, so NetworkManager applies it again and again.
    QCOMPARE(m_nm->profile(Profile, ProfileFields), QString("manual\n10.79.0.20/24\n10.79.0.1\n10.79.0.53\nyes"));
    QCOMPARE(testnet::addressesOf("vn0"), QStringList{"10.79.0.20/24"});
    QString output;
    QVERIFY2(m_nm->nmcli(again, &output) == 0, qPrintable(output));
    QCOMPARE(testnet::addressesOf("vn0"), QStringList{"10.79.0.20/24"});
    QCOMPARE(testnet::ipJson({"-4", "route", "show", "default", "dev", "vn0"}).at(0)["gateway"].toString(),
             QString("10.79.0.1"));
}

void tst_networkmanager::dhcpThroughNetworkManagerThenStatic()
{
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), "dhcpAddress"));
    QCOMPARE(m_window->statusbar->currentMessage(), DhcpSwitched);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->statusbar->currentMessage(), Refreshed, 30000);
    const QString leased = m_window->ipInfoLabel->text();
    QVERIFY2(QHostAddress(leased).isInSubnet(QHostAddress("10.79.0.48"), 28), qPrintable(leased));
    QCOMPARE(m_window->addressTypeInfoLabel->text(), QString("DHCP"));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->dns1InfoLabel->text(), QString("10.79.0.53"), 5000);
    QCOMPARE(m_nm->profile(Profile, ProfileFields), QString("auto\n\n\n\nno"));
    QVERIFY2(testnet::dhcpClients().isEmpty(), "NetworkManager's own client, no second one");
    QCOMPARE(testnet::addressesOf("vn0"), QStringList{leased + "/24"});

    apply("10.79.0.21", "10.79.0.53");
    QCOMPARE(m_window->statusbar->currentMessage(), Finished);
    QCOMPARE(m_window->addressTypeInfoLabel->text(), QString("Manual"));
    QCOMPARE(m_nm->profile(Profile, "ipv4.method,ipv4.addresses"), QString("manual\n10.79.0.21/24"));
    QCOMPARE(testnet::addressesOf("vn0"), QStringList{"10.79.0.21/24"});
}

void tst_networkmanager::refusedChangeLosesNothing_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<bool>("asNobody");
    QTest::newRow("without the right to change it") << "10.79.0.30" << "10.79.0.1" << true;
    QTest::newRow("an address in use") << "10.79.0.1" << "10.79.0.254" << false;
}

void tst_networkmanager::refusedChangeLosesNothing()
{
    QFETCH(QString, ip);
    QFETCH(QString, gateway);
    QFETCH(bool, asNobody);
    // cmd.exe and netsh run as a user NetworkManager refuses.
    QTemporaryDir root;
    const QByteArray systemroot = qgetenv("systemroot");
    if (asNobody) {
        QVERIFY(QDir(root.path()).mkpath("system32"));
        QFile wrapper(root.path() + "/system32/cmd.exe");
        QVERIFY(wrapper.open(QIODevice::WriteOnly));
        wrapper.write(QStringLiteral("#!/bin/sh\nexec %1 %2/system32/cmd.exe \"$@\"\n")
                          .arg(AsNobody.join(' '), qEnvironmentVariable("VANTOREL_BUILD_DIR")).toUtf8());
        wrapper.close();
        wrapper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("systemroot", QFile::encodeName(root.path()));
    }

    const QString profile = m_nm->profile(Profile, ProfileFields);
    const QString kernel = kernelAndResolver("vn0");
    QVERIFY(testwindow::apply(m_window.get(), {ip, "255.255.255.0", gateway, "10.79.0.54"}));
    QCOMPARE(m_window->statusbar->currentMessage(), AddressFailed);
    if (asNobody)
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "dhcpAddress"));
    qputenv("systemroot", systemroot);
    QCOMPARE(m_nm->profile(Profile, ProfileFields), profile);
    QCOMPARE(kernelAndResolver("vn0"), kernel);
    if (!asNobody)
        return;

    // netsh says why, in NetworkManager's words.
    QString output;
    QCOMPARE(netsh({"interface", "ip", "set", "dns", "name=vn0", "source=static", "addr=10.79.0.54"}, &output, AsNobody), 1);
    QVERIFY2(output.trimmed().count('\n') == 0 && output.contains("NetworkManager refused"), qPrintable(output));
    QCOMPARE(m_nm->profile(Profile, ProfileFields), profile);
}

void tst_networkmanager::macOverrideAndRestart()
{
    const QString own = macOf("vn0");
    windowChanger changer;
    for (const QStringList &step : {QStringList{"02-aA-bB-cc-dd-EE", "02:aa:bb:cc:dd:ee", "02:AA:BB:CC:DD:EE"},
                                    QStringList{"", own, "permanent"}}) {
        const QStringList result = changer.setMac({"vn0", step[0]});
        QVERIFY2(result.size() == 2 && result[0] == "1" && changer.restartCard(result[1]),
                 qPrintable("storing or restarting failed: " + result.join(' ')));
        QCOMPARE(macOf("vn0"), step[1]);
        QCOMPARE(m_nm->profile(Profile, "802-3-ethernet.cloned-mac-address").remove('\\'), step[2]);
        QCOMPARE(testnet::addressesOf("vn0"), QStringList{"10.79.0.10/24"});
        // NetworkManager keeps it through a reconnect of its own.
        QCOMPARE(m_nm->nmcli({"connection", "up", Profile}), 0);
        QCOMPARE(macOf("vn0"), step[1]);
    }
}

void tst_networkmanager::deviceWithoutProfileGetsOne()
{
    QCOMPARE(m_nm->nmcli({"connection", "delete", Profile}), 0);
    QString output;
    QVERIFY2(netsh({"interface", "ip", "set", "address", "name=vn0", "source=static", "addr=10.79.0.40",
                    "mask=255.255.255.0", "gateway=10.79.0.1"}, &output) == 0, qPrintable(output));
    QCOMPARE(m_nm->profile("vn0", "connection.interface-name,ipv4.method,ipv4.addresses"), QString("vn0\nmanual\n10.79.0.40/24"));
    QCOMPARE(testnet::addressesOf("vn0"), QStringList{"10.79.0.40/24"});
}

void tst_networkmanager::foreignClientIsRefused_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::newRow("static address") << QStringList{"address", "source=static", "addr=10.80.0.20", "mask=255.255.255.0", "gateway=10.80.0.1"};
    QTest::newRow("dhcp address") << QStringList{"address", "source=dhcp"};
    QTest::newRow("static dns") << QStringList{"dns", "source=static", "addr=10.80.0.53"};
}

void tst_networkmanager::foreignClientIsRefused()
{
    QFETCH(QStringList, command);
    testnet::Peer peer("vn1", "10.80.0.1/24");
    QVERIFY(peer.ok() && testnet::ip({"addr", "add", "10.80.0.10/24", "dev", "vn1"}));
    // The client's pid file and lease stay in this test's mount namespace.
    for (const char *dir : {"/run/dhcpcd", "/var/lib/dhcpcd"}) {
        mkdir(dir, 0755);
        QVERIFY(mount("tmpfs", dir, "tmpfs", 0, "mode=755") == 0);
    }
    QProcess client;
    client.start("setpriv", {"--pdeathsig", "KILL", "dhcpcd", "-4", "-B", "-L", "-c", "/bin/true", "vn1"});
    QVERIFY(client.waitForStarted());
    QTRY_VERIFY(!testnet::dhcpClients().isEmpty());
    const QString pid = QString::number(client.processId());
    const QString before = kernelAndResolver("vn1");

    QString output;
    const int code = netsh(QStringList{"interface", "ip", "set"} + command.mid(0, 1) + QStringList{"name=vn1"} + command.mid(1), &output);
    client.terminate();
    client.waitForFinished(5000);
    for (const char *dir : {"/run/dhcpcd", "/var/lib/dhcpcd"})
        umount2(dir, MNT_DETACH);
    QCOMPARE(code, 1);
    QVERIFY2(output.trimmed().count('\n') == 0 && output.contains("dhcpcd (process " + pid + ")"), qPrintable(output));
    QCOMPARE(kernelAndResolver("vn1"), before);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));
    tst_networkmanager test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_networkmanager.moc"
