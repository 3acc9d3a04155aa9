// The whole road on an adapter that the test's own NetworkManager manages (private system bus, own mount and UTS
// namespace): the window, the worker, cmd.exe, netsh, NetworkManager, the kernel and back into the panel. And a
// desktop's users, whom the test's own polkitd allows or denies changes through NetworkManager, and who can't change
// an adapter that NetworkManager leaves alone.
#include "netns.h"
#include "window.h"

#include <QScopeGuard>
#include <QtEndian>
#include <QStyleFactory>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testwindow;

const QString Profile = QStringLiteral("wired");
const QString UserFields = QStringLiteral("ipv4.method,ipv4.addresses,ipv4.gateway,ipv4.dns,802-3-ethernet.cloned-mac-address");
const QString ProfileFields = QStringLiteral("ipv4.method,ipv4.addresses,ipv4.gateway,ipv4.dns,ipv4.ignore-auto-dns");

// rc-manager=unmanaged: with "file" NetworkManager writes temporary files into the machine's /etc. Other users than
// root are asked about at polkit. A static address that another host uses is refused too (address conflict
// detection). Only vn0 is managed.
const char nmConfig[] = R"([main]
plugins=keyfile
no-auto-default=*
dhcp=internal
dns=default
rc-manager=unmanaged
hostname-mode=none
auth-polkit=true
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

// A system bus that any user may reach, with no rules of who may call whom.
const char busConfig[] =
    "<busconfig><type>system</type><listen>unix:path=%1/bus</listen><auth>EXTERNAL</auth>\n"
    "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
    "<allow receive_sender=\"*\"/></policy></busconfig>\n";

// Without a login session polkit knows no active local user: the rule names the users.
const char polkitRule[] = R"(polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.NetworkManager.") == 0)
        return subject.user == "%1" ? polkit.Result.YES : polkit.Result.NO;
});
)";

QString profile(const QString &fields)
{
    QString output;
    testnet::run("nmcli", {"-g", fields, "connection", "show", Profile}, &output);
    return output.trimmed();
}

QString linkAddress(const QString &dev)
{
    return testnet::ipJson({"link", "show", "dev", dev}).at(0)["address"].toString();
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
        QFile bus(dir + "/bus.conf");
        QVERIFY(bus.open(QIODevice::WriteOnly) && bus.write(QString(busConfig).arg(dir).toUtf8()) > 0 && bus.flush());
        QVERIFY(chmod(QFile::encodeName(dir), 0711) == 0);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", QFile::encodeName("unix:path=" + dir + "/bus"));
        m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // The bus and NetworkManager die with the test at the latest: setpriv's parent-death signal survives exec.
        m_bus.start("setpriv", {"--pdeathsig", "KILL", "dbus-daemon", "--config-file=" + bus.fileName(), "--nofork",
                                "--nopidfile", "--print-address"});
        QVERIFY2(m_bus.waitForReadyRead(5000), "the private bus is up");
        QVERIFY(startPolkit());
        QString owner;
        QTRY_VERIFY2_WITH_TIMEOUT(testnet::run("dbus-send", {"--system", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                                                             "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.PolicyKit1"}, &owner) == 0
                                      && owner.contains("true"), "polkitd is on the bus", 10000);
        m_nm.setProcessChannelMode(QProcess::ForwardedChannels);
        m_nm.start("setpriv", {"--pdeathsig", "KILL", "unshare", "--mount", "--uts", "--propagation", "private", "sh",
                               "-c", nmStart, "nm-start", dir});
        // Up once it answers on the bus with vn0 managed.
        QString devices;
        QTRY_VERIFY2_WITH_TIMEOUT(testnet::run("nmcli", {"-t", "-f", "DEVICE,STATE", "device"}, &devices) == 0
                                      && devices.contains("vn0:") && !devices.contains("vn0:unmanaged"),
                                  "NetworkManager manages vn0", 10000);
        m_ownMac = linkAddress("vn0");
        // An adapter that NetworkManager leaves alone.
        m_unmanaged.reset(new testnet::Peer("vn2", "10.81.0.1/24"));
        QVERIFY(m_unmanaged->ok() && testnet::ip({"addr", "add", "10.81.0.10/24", "dev", "vn2"}));
        // A desktop's wired profile, up. The tests go on from what the one before left.
        QString output;
        QVERIFY2(testnet::run("nmcli", {"connection", "add", "type", "ethernet", "ifname", "vn0", "con-name", Profile,
                                        "ipv6.method", "disabled", "ipv4.method", "manual", "ipv4.addresses", "10.79.0.10/24",
                                        "ipv4.gateway", "10.79.0.1", "ipv4.dns", "10.79.0.1"}, &output) == 0
                     && testnet::run("nmcli", {"connection", "up", Profile}, &output) == 0,
                 qPrintable(output));
    }

    void cleanupTestCase()
    {
        for (const QString &user : qAsConst(m_users))
            testnet::run("userdel", {user});
    }

    // A manual change, DHCP from NetworkManager's own client, and a manual change after it: each made in the
    // profile, shown in the panel and in the kernel. Then an address that another host uses: NetworkManager refuses
    // it, and the profile and the kernel stay.
    void changes()
    {
        QVERIFY2(openOn(m_window, "vn0"), "vn0 is listed");
        // The profile's updates (the address's and the DNS server's), seen on the bus: each lets polkit ask a
        // desktop user for a password.
        QProcess monitor;
        monitor.start("dbus-monitor", {"--system", "--binary", "type='method_call',member='Update2'"});
        QVERIFY(monitor.waitForStarted());
        QTest::qWait(500);
        QVERIFY(apply(m_window.get(), {"10.79.0.20", "255.255.255.0", "10.79.0.1", "10.79.0.53"}));
        monitor.terminate();
        QVERIFY(monitor.waitForFinished());
        const QByteArray raw = monitor.readAllStandardOutput();
        QList<bool> interactive;
        for (int at = 0; at + 16 <= raw.size();) {
            const auto word = [&](int offset) { return qFromLittleEndian<quint32>(raw.constData() + at + offset); };
            const int size = 16 + int((word(12) + 7) & ~7u) + int(word(4));
            // The header's flag 4 allows interactive authorization.
            if (raw.mid(at, size).contains("Update2"))
                interactive << bool(raw[at + 2] & 4);
            at += size;
        }
        QVERIFY2(!interactive.isEmpty() && !interactive.contains(false), "every update may ask for a password");
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

    // A desktop's users at work as themselves: netsh through cmd.exe, and the override and restart through the
    // worker. What polkit allows is done in the profile and the kernel; a refusal, or an adapter nothing manages,
    // gets one line and leaves the profile, the adapter and NetworkManager's resolver as they were.
    void asDesktopUser_data()
    {
        QTest::addColumn<bool>("allowed");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("refusal");   // in netsh's one line; empty: the change is made
        QTest::addColumn<QString>("settings");  // UserFields afterwards
        QTest::addColumn<QString>("kernel");    // vn0's addresses and link-layer address afterwards, a pattern

        const auto netsh = [](const QString &command) { return QStringList{"cmd.exe", "/c", "netsh interface ip " + command}; };
        const QString own = "^10.79.0.30/24 " + m_ownMac + "$";
        QTest::newRow("static") << true << netsh("set address name=vn0 source=static addr=10.79.0.30 mask=255.255.255.0 gateway=10.79.0.1")
                                << "" << "manual\n10.79.0.30/24\n10.79.0.1\n10.79.0.53" << own;
        QTest::newRow("static DNS") << true << netsh("set dns name=vn0 source=static addr=10.79.0.55") << ""
                                    << "manual\n10.79.0.30/24\n10.79.0.1\n10.79.0.55" << own;
        QTest::newRow("override") << true << QStringList{"vantorel-adapter", "set-mac-restart", "vn0", "02-aA-bB-cc-dd-EE"}
                                  << "" << "manual\n10.79.0.30/24\n10.79.0.1\n10.79.0.55\n02:AA:BB:CC:DD:EE"
                                  << "^10.79.0.30/24 02:aa:bb:cc:dd:ee$";
        QTest::newRow("own address") << true << QStringList{"vantorel-adapter", "set-mac-restart", "vn0", ""} << ""
                                     << "manual\n10.79.0.30/24\n10.79.0.1\n10.79.0.55\npermanent" << own;
        QTest::newRow("denied static") << false << netsh("set address name=vn0 source=static addr=10.79.0.31 mask=255.255.255.0")
                                       << "Insufficient privileges";
        QTest::newRow("denied override") << false << QStringList{"vantorel-adapter", "set-mac-restart", "vn0", "02-11-22-33-44-77"}
                                         << "could not be restarted";
        QTest::newRow("unmanaged") << true << netsh("set address name=vn2 source=static addr=10.81.0.20 mask=255.255.255.0")
                                   << "needs administrator rights (root); nothing was changed.";
        QTest::newRow("DHCP") << true << netsh("set address name=vn0 source=dhcp") << "" << "auto\n\n\n10.79.0.55\npermanent"
                              << "^10.79.0.(5\\d|60)/24 " + m_ownMac + "$";
        QTest::newRow("DHCP's DNS") << true << netsh("set dns name=vn0 source=dhcp") << "" << "auto\n\n\n\npermanent"
                                    << "^10.79.0.(5\\d|60)/24 " + m_ownMac + "$";
    }

    void asDesktopUser()
    {
        QFETCH(bool, allowed);
        QFETCH(QStringList, command);
        QFETCH(QString, refusal);
        const auto everything = [] {
            QString dns;
            testnet::run("nmcli", {"-g", "IP4.DNS", "device", "show", "vn0"}, &dns);
            return profile(UserFields) + dns + testnet::kernelState() + linkAddress("vn0");
        };
        const QString before = everything();
        QString output;
        // Only the bus, a runtime folder of the user's own and a sanitizer's settings: nothing of root's test set-up.
        QStringList asUser = {"-u", m_users[allowed ? 0 : 1], "--", "env", "-i", "PATH=/usr/bin:/bin",
                              "DBUS_SYSTEM_BUS_ADDRESS=" + qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS"),
                              "XDG_RUNTIME_DIR=" + m_home.path() + (allowed ? "/allowed" : "/denied")};
        for (const char *sanitizer : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            asUser << QString(sanitizer) + '=' + qEnvironmentVariable(sanitizer);
        const int code = testnet::run("runuser", asUser + QStringList(m_tools.path() + "/" + command[0]) + command.mid(1), &output);
        if (!refusal.isEmpty()) {
            // netsh's refusal is its one line; the worker's tool prints the driver key besides.
            QVERIFY2(code == 1 && output.contains(refusal) && (command[0] != "cmd.exe" || output.trimmed().count('\n') == 0),
                     qPrintable(output));
            QCOMPARE(everything(), before);
            return;
        }
        QFETCH(QString, settings);
        QFETCH(QString, kernel);
        QVERIFY2(code == 0, qPrintable(output));
        QCOMPARE(profile(UserFields).remove('\\'), settings);
        const auto adapter = [] { return testnet::addressesOf("vn0").join(' ') + ' ' + linkAddress("vn0"); };
        QTRY_VERIFY2_WITH_TIMEOUT(QRegularExpression(kernel).match(adapter()).hasMatch(), qPrintable(adapter()), 10000);
    }

private:
    // Two users of the test's own, a polkitd that allows the first and denies the second, and the programs they run
    // where they can reach them. Users that a killed run left are removed first.
    bool startPolkit()
    {
        QFile passwd("/etc/passwd");
        if (!passwd.open(QIODevice::ReadOnly))
            return false;
        const QRegularExpression ours("^(vt[ad]-(\\d+))[:]");
        for (const QByteArray &line : passwd.readAll().split('\n')) {
            const QRegularExpressionMatch user = ours.match(QString::fromUtf8(line));
            if (user.hasMatch() && !QFile::exists("/proc/" + user.captured(2)))
                testnet::run("userdel", {user.captured(1)});
        }
        for (const char *kind : {"allowed", "denied"}) {
            m_users << QStringLiteral("vt%1-%2").arg(kind[0]).arg(getpid());
            if (testnet::run("useradd", {"--system", "--no-create-home", "--shell", "/usr/sbin/nologin", m_users.last()}) != 0
                || testnet::run("install", {"-d", "-m", "700", "-o", m_users.last(), m_home.path() + "/" + kind}) != 0)
                return false;
        }
        const QString rules = m_tools.path() + "/rules";
        QFile rule(rules + "/50-test.rules");
        if (!QDir().mkpath(rules + "/none") || !rule.open(QIODevice::WriteOnly)
            || rule.write(QString(polkitRule).arg(m_users[0]).toUtf8()) < 0)
            return false;
        rule.close();
        const QString build = qEnvironmentVariable("VANTOREL_BUILD_DIR");
        const QString copy = "cp -r \"$1\"/system32/. \"$1\"/tools/vantorel-adapter \"$2\" && chmod -R a+rX \"$2\"";
        if (testnet::run("sh", {"-c", copy, "cp", build, m_tools.path()}) != 0
            || mount(QFile::encodeName(rules).constData(), "/etc/polkit-1/rules.d", nullptr, MS_BIND, nullptr) != 0
            || mount(QFile::encodeName(rules + "/none").constData(), "/usr/share/polkit-1/rules.d", nullptr, MS_BIND, nullptr) != 0)
            return false;
        // It becomes user polkitd, which loses setpriv's parent-death signal: the process object ends it.
        m_polkit.setProcessChannelMode(QProcess::ForwardedChannels);
        m_polkit.start("/usr/lib/polkit-1/polkitd", {"--no-debug"});
        return chmod(QFile::encodeName(m_home.path()), 0711) == 0;
    }

    QStringList m_users;
    QTemporaryDir m_home;
    QTemporaryDir m_tools;
    QProcess m_polkit;
    QString m_ownMac;
    QTemporaryDir m_state;
    QTemporaryDir m_nmDir;
    QProcess m_bus;
    QProcess m_nm;
    std::unique_ptr<testnet::Peer> m_peer;
    std::unique_ptr<testnet::Peer> m_unmanaged;
    std::unique_ptr<davErirido> m_window;
};

QTEST_MAIN(tst_networkmanager)
#include "tst_networkmanager.moc"
