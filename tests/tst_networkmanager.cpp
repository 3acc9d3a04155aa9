// The whole road on an adapter that the test's own NetworkManager manages (private system bus, own mount and UTS
// namespace): the window, the worker, cmd.exe, netsh, NetworkManager, the kernel and back into the panel. And an
// adapter that a DHCP client we did not start serves: refused, untouched.
#include "netns.h"
#include "window.h"
#include "windowchanger.h"

#include <QScopeGuard>
#include <QStyleFactory>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>

namespace {

using namespace testwindow;

const QString Profile = QStringLiteral("wired");
const QString ProfileFields = QStringLiteral("ipv4.method,ipv4.addresses,ipv4.gateway,ipv4.dns,ipv4.ignore-auto-dns");

// rc-manager=unmanaged: with "file" NetworkManager writes temporary files into the machine's /etc. root-only:
// requests from other users are refused. A static address that another host uses is refused too (address conflict
// detection). Only vn0 is managed.
const char nmConfig[] = R"([main]
plugins=keyfile
no-auto-default=*
dhcp=internal
dns=default
rc-manager=unmanaged
hostname-mode=none
auth-polkit=root-only
systemd-resolved=false
[connection]
ipv4.dad-timeout=300
[keyfile]
unmanaged-devices=except:interface-name:vn0
)";

// Runs in the mount and UTS namespace that unshare made, then becomes NetworkManager. A read-only sysfs of this
// network namespace makes it go without udev; mount -n leaves the machine's /run/mount/utab alone.
const char nmStart[] = R"(set -e
mkdir -p "$1/etc/system-connections" "$1/lib"
touch "$1/resolv.conf"
mount -n -t sysfs -o ro sysfs /sys
mount -n -t tmpfs tmpfs /run
mkdir -p /run/NetworkManager
mount -n --bind "$1/etc" /etc/NetworkManager
mount -n --bind "$1/lib" /var/lib/NetworkManager
# The test's own resolver file is mounted there already.
umount -n /etc/resolv.conf || true
mount -n --bind "$1/resolv.conf" /etc/resolv.conf
hostname vt-nm
exec NetworkManager --no-daemon --config "$1/NetworkManager.conf"
)";

QString profile(const QString &fields)
{
    QString output;
    testnet::run("nmcli", {"-g", fields, "connection", "show", Profile}, &output);
    return output.trimmed();
}

} // namespace

class tst_networkmanager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!testnet::unavailable().isEmpty())
            QSKIP(qPrintable(testnet::unavailable()));
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));
        qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
        qputenv("systemroot", QFile::encodeName(qEnvironmentVariable("VANTOREL_BUILD_DIR")));
        QVERIFY(testnet::useResolvConf("nameserver 10.79.0.1\n"));
        m_peer.reset(new testnet::Peer("vn0", "10.79.0.1/24"));
        QVERIFY(m_peer->ok() && m_peer->startDhcp("10.79.0.50", "10.79.0.60", "10.79.0.53"));

        const QString dir = m_nmDir.path();
        QFile config(dir + "/NetworkManager.conf");
        QVERIFY(config.open(QIODevice::WriteOnly) && config.write(nmConfig) > 0 && config.flush());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", QFile::encodeName("unix:path=" + dir + "/bus"));
        m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A session bus's rules (its user, root, may do everything) on the address of the system bus. Both die with
        // the test at the latest: setpriv's parent-death signal survives exec.
        m_bus.start("setpriv", {"--pdeathsig", "KILL", "dbus-daemon", "--session", "--address=unix:path=" + dir + "/bus",
                                "--nofork", "--nopidfile", "--print-address"});
        QVERIFY2(m_bus.waitForReadyRead(5000), "the private bus is up");
        m_nm.setProcessChannelMode(QProcess::ForwardedChannels);
        m_nm.start("setpriv", {"--pdeathsig", "KILL", "unshare", "--mount", "--uts", "--propagation", "private", "sh",
                               "-c", nmStart, "nm-start", dir});
        // Up once it answers on the bus with vn0 managed.
        QString devices;
        QTRY_VERIFY2_WITH_TIMEOUT(testnet::run("nmcli", {"-t", "-f", "DEVICE,STATE", "device"}, &devices) == 0
                                      && devices.contains("vn0:") && !devices.contains("vn0:unmanaged"),
                                  "NetworkManager manages vn0", 10000);
        // A desktop's wired profile, up. The tests go on from what the one before left.
        QString output;
        QVERIFY2(testnet::run("nmcli", {"connection", "add", "type", "ethernet", "ifname", "vn0", "con-name", Profile,
                                        "ipv6.method", "disabled", "ipv4.method", "manual", "ipv4.addresses", "10.79.0.10/24",
                                        "ipv4.gateway", "10.79.0.1", "ipv4.dns", "10.79.0.1"}, &output) == 0
                     && testnet::run("nmcli", {"connection", "up", Profile}, &output) == 0,
                 qPrintable(output));
    }

    void macOverrideAndRestart()
    {
        const auto macOf = [] { return testnet::ipJson({"link", "show", "dev", "vn0"}).at(0)["address"].toString(); };
        const QString own = macOf();
        windowChanger changer;
        for (const QStringList &step : {QStringList{"02-aA-bB-cc-dd-EE", "02:aa:bb:cc:dd:ee", "02:AA:BB:CC:DD:EE"},
                                        QStringList{"", own, "permanent"}}) {
            const QStringList result = changer.setMac({"vn0", step[0]});
            QVERIFY2(result.size() == 2 && result[0] == "1" && changer.restartCard(result[1]),
                     qPrintable("storing or restarting failed: " + result.join(' ')));
            QCOMPARE(macOf(), step[1]);
            QCOMPARE(profile("802-3-ethernet.cloned-mac-address").remove('\\'), step[2]);
            QCOMPARE(testnet::addressesOf("vn0"), QStringList{"10.79.0.10/24"});
        }
    }

    // A manual change, DHCP from NetworkManager's own client, and a manual change after it: each made in the
    // profile, shown in the panel and in the kernel. Then an address that another host uses: NetworkManager refuses
    // it, and the profile and the kernel stay.
    void changes()
    {
        QVERIFY2(openOn(m_window, "vn0"), "vn0 is listed");
        QVERIFY(apply(m_window.get(), {"10.79.0.20", "255.255.255.0", "10.79.0.1", "10.79.0.53"}));
        QCOMPARE(panel(m_window.get()), QStringList({"Manual", "10.79.0.20", "255.255.255.0", "10.79.0.1", "10.79.0.53"}));
        QCOMPARE(profile(ProfileFields), QString("manual\n10.79.0.20/24\n10.79.0.1\n10.79.0.53\nyes"));

        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "dhcpAddress"));
        QTRY_COMPARE_WITH_TIMEOUT(m_window->statusbar->currentMessage(), Refreshed, 30000);
        QCOMPARE(m_window->addressTypeInfoLabel->text(), QString("DHCP"));
        // The DHCP server's DNS server: a lease came.
        QTRY_COMPARE_WITH_TIMEOUT(m_window->dns1InfoLabel->text(), QString("10.79.0.53"), 5000);
        QCOMPARE(profile(ProfileFields), QString("auto\n\n\n\nno"));
        QVERIFY2(testnet::dhcpClients().isEmpty(), "NetworkManager's own client, no second one");

        QVERIFY(apply(m_window.get(), {"10.79.0.21", "255.255.255.0", "10.79.0.1", "10.79.0.53"}));
        QCOMPARE(profile("ipv4.method,ipv4.addresses"), QString("manual\n10.79.0.21/24"));
        QCOMPARE(testnet::addressesOf("vn0"), QStringList{"10.79.0.21/24"});

        const QString before = profile(ProfileFields) + testnet::kernelState();
        QVERIFY(apply(m_window.get(), {"10.79.0.1", "255.255.255.0", "10.79.0.254", "10.79.0.54"}));
        QCOMPARE(m_window->statusbar->currentMessage(), AddressFailed);
        QCOMPARE(profile(ProfileFields) + testnet::kernelState(), before);
    }

    void foreignClientIsRefused()
    {
        testnet::Peer peer("vn1", "10.80.0.1/24");
        QVERIFY(peer.ok() && testnet::ip({"addr", "add", "10.80.0.10/24", "dev", "vn1"}));
        // The client's pid file and lease stay in the test's mount namespace, which goes with it.
        for (const char *dir : {"/run/dhcpcd", "/var/lib/dhcpcd"}) {
            mkdir(dir, 0755);
            QVERIFY(mount("tmpfs", dir, "tmpfs", 0, "mode=755") == 0);
        }
        QProcess client;
        client.start("setpriv", {"--pdeathsig", "KILL", "dhcpcd", "-4", "-B", "-L", "-c", "/bin/true", "vn1"});
        QVERIFY(client.waitForStarted());
        // SIGTERM, not the death signal's KILL: the client ends its helper processes too.
        const auto stop = qScopeGuard([&client] {
            client.terminate();
            client.waitForFinished(20000);
        });
        QTRY_VERIFY(!testnet::dhcpClients().isEmpty());
        const QString before = testnet::kernelState();
        QString output;
        const QString command = "interface ip set address name=vn1 source=static addr=10.80.0.20 mask=255.255.255.0";
        QCOMPARE(testnet::netsh(command, &output), 1);
        QVERIFY2(output.trimmed().count('\n') == 0 && output.contains(QString("dhcpcd (process %1)").arg(client.processId())),
                 qPrintable(output));
        QCOMPARE(testnet::kernelState(), before);
    }

private:
    QTemporaryDir m_state;
    QTemporaryDir m_nmDir;
    QProcess m_bus;
    QProcess m_nm;
    std::unique_ptr<testnet::Peer> m_peer;
    std::unique_ptr<davErirido> m_window;
};

QTEST_MAIN(tst_networkmanager)
#include "tst_networkmanager.moc"
