// The whole road on the real kernel: the window's slots, through the worker,
// cmd.exe and netsh, to rtnetlink, dhcpcd and the resolver, and back through
// the IP Helper stand-in into the panel.
#include "daverirido.h"
#include "netns.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {

const QString Finished = QStringLiteral("Change finished.Refreshing the addresses information.");
const QString AddressFailed = QStringLiteral("IP, netmask and gateway change failed. Please try it again.");
const QString DhcpSwitched = QStringLiteral("Dhcp addressed finished. Refreshing the addresses information.");
const QString Refreshed = QStringLiteral("Refreshing information successful.");

// What the kernel and the resolver hold for the interface, for before/after comparisons.
QString snapshot(const QString &dev)
{
    QString resolv;
    testnet::run("cat", {"/etc/resolv.conf"}, &resolv);
    const QJsonArray addr = testnet::ipJson({"-4", "addr", "show", "dev", dev});
    QJsonArray addresses;
    if (!addr.isEmpty())
        addresses = addr.at(0).toObject().value("addr_info").toArray();
    const QJsonArray routes = testnet::ipJson({"-4", "route", "show", "dev", dev});
    return QString::fromUtf8(QJsonDocument(addresses).toJson(QJsonDocument::Compact))
        + QString::fromUtf8(QJsonDocument(routes).toJson(QJsonDocument::Compact)) + resolv;
}

QStringList addressesOf(const QString &dev)
{
    QStringList result;
    const QJsonArray addr = testnet::ipJson({"-4", "addr", "show", "dev", dev});
    if (addr.isEmpty())
        return result;
    for (const QJsonValue &a : addr.at(0).toObject().value("addr_info").toArray())
        result << QStringLiteral("%1/%2").arg(a.toObject().value("local").toString()).arg(a.toObject().value("prefixlen").toInt());
    return result;
}

QString defaultGateway(const QString &dev)
{
    const QJsonArray routes = testnet::ipJson({"-4", "route", "show", "default", "dev", dev});
    return routes.isEmpty() ? QString() : routes.at(0).toObject().value("gateway").toString();
}

ino_t netNamespace(const QString &pid)
{
    struct stat st {};
    return stat(QFile::encodeName("/proc/" + pid + "/ns/net").constData(), &st) == 0 ? st.st_ino : 0;
}

// DHCP clients serving this test's namespace (other tests may run their own).
QList<int> dhcpClients()
{
    QList<int> pids;
    const ino_t self = netNamespace("self");
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile comm("/proc/" + pid + "/comm");
        if (pid.toInt() > 0 && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "dhcpcd"
            && netNamespace(pid) == self)
            pids << pid.toInt();
    }
    return pids;
}

bool dhcpClientRunning()
{
    return !dhcpClients().isEmpty();
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
    void dhcpAddressArrives();
    void staticAfterDhcpStopsTheClient();
    void refusedChangeLosesNothing();
    void vanishedInterfaceIsReported();

private:
    void fill(const QString &ip, const QString &mask, const QString &gateway, const QString &dns);
    void invoke(const char *slot);
    QStringList messages() const;

    QTemporaryDir m_state;
    std::unique_ptr<testnet::Peer> m_peer;
    std::unique_ptr<davErirido> m_window;
    QStringList m_messages;
};

void tst_system::initTestCase()
{
    const QString why = testnet::unavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_state.isValid());
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
    const QString systemroot = qEnvironmentVariable("VANTOREL_BUILD_DIR");
    QVERIFY2(QFile::exists(systemroot + "/system32/netsh"), "the stand-ins are built beside the program");
    qputenv("systemroot", QFile::encodeName(systemroot));
    QVERIFY(testnet::ip({"link", "set", "lo", "up"}));
}

void tst_system::init()
{
    m_peer.reset(new testnet::Peer("vt0", "10.77.0.1/24"));
    QVERIFY(m_peer->ok());
    QVERIFY(m_peer->startDhcp("10.77.0.50", "10.77.0.60", "10.77.0.53"));
    QVERIFY(testnet::ip({"addr", "add", "10.77.0.10/24", "dev", "vt0"}));
    QVERIFY(testnet::ip({"route", "add", "default", "via", "10.77.0.1", "dev", "vt0"}));
    QVERIFY(testnet::useResolvConf("nameserver 10.77.0.1\n"));

    m_window.reset(new davErirido);
    const int row = m_window->interfaceComboBox->findData("vt0", Qt::UserRole);
    QVERIFY2(row >= 0, "the veth adapter is listed");
    m_window->interfaceComboBox->setCurrentIndex(row);
    m_messages.clear();
    connect(m_window->statusbar, &QStatusBar::messageChanged, this, [this](const QString &m) {
        if (!m.isEmpty())
            m_messages << m;
    });
    QCOMPARE(m_window->ipInfoLabel->text(), QString("10.77.0.10"));
}

void tst_system::cleanup()
{
    m_window.reset();
    // Whatever the test left running on the adapter goes with it.
    for (int pid : dhcpClients())
        kill(pid, SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(!dhcpClientRunning(), 5000);
    m_peer.reset();
    QDir(m_state.path()).removeRecursively();
    QDir().mkpath(m_state.path());
}

void tst_system::fill(const QString &ip, const QString &mask, const QString &gateway, const QString &dns)
{
    m_window->ipLineEdit->setText(ip);
    m_window->netmaskLineEdit->setText(mask);
    m_window->gatewayLineEdit->setText(gateway);
    m_window->dns1LineEdit->setText(dns);
}

void tst_system::invoke(const char *slot)
{
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), slot));
}

void tst_system::staticConfigurationIsApplied()
{
    fill("10.77.0.20", "255.255.255.0", "10.77.0.1", "10.77.0.53");
    invoke("writeToSystem");

    QCOMPARE(m_window->statusbar->currentMessage(), Finished);
    QCOMPARE(m_window->addressTypeInfoLabel->text(), QString("Manual"));
    QCOMPARE(m_window->ipInfoLabel->text(), QString("10.77.0.20"));
    QCOMPARE(m_window->netmaskInfoLabel->text(), QString("255.255.255.0"));
    QCOMPARE(m_window->gatewayInfoLabel->text(), QString("10.77.0.1"));
    QCOMPARE(m_window->dns1InfoLabel->text(), QString("10.77.0.53"));
    // The kernel and the resolver agree with the panel.
    QCOMPARE(addressesOf("vt0"), QStringList{"10.77.0.20/24"});
    QCOMPARE(defaultGateway("vt0"), QString("10.77.0.1"));
    QString resolv;
    testnet::run("cat", {"/etc/resolv.conf"}, &resolv);
    QVERIFY2(resolv.startsWith("nameserver 10.77.0.53\n"), qPrintable(resolv));
    QVERIFY(m_window->writeToSystemPushButton->isEnabled());
    QVERIFY(m_window->enableDhcpPushButton->isEnabled());
}

void tst_system::dhcpAddressArrives()
{
    invoke("dhcpAddress");
    QCOMPARE(m_messages.mid(0, 3), QStringList({"Auto distributing ip, netmask, and gateway...",
                                                "Auto distributing DNS server...", DhcpSwitched}));
    QVERIFY(dhcpClientRunning());

    // The refresh timer re-reads the adapter every second until the lease is there.
    QTRY_COMPARE_WITH_TIMEOUT(m_window->statusbar->currentMessage(), Refreshed, 30000);
    const QHostAddress leased(m_window->ipInfoLabel->text());
    QVERIFY2(leased.isInSubnet(QHostAddress("10.77.0.48"), 28), qPrintable(m_window->ipInfoLabel->text()));
    QCOMPARE(m_window->addressTypeInfoLabel->text(), QString("DHCP"));
    QCOMPARE(m_window->gatewayInfoLabel->text(), QString("10.77.0.1"));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->dns1InfoLabel->text(), QString("10.77.0.53"), 5000);
    QCOMPARE(addressesOf("vt0"), QStringList{m_window->ipInfoLabel->text() + "/24"});
}

void tst_system::staticAfterDhcpStopsTheClient()
{
    invoke("dhcpAddress");
    QTRY_COMPARE_WITH_TIMEOUT(m_window->statusbar->currentMessage(), Refreshed, 30000);
    const QString leased = m_window->ipInfoLabel->text();

    fill("10.77.0.21", "255.255.255.0", "10.77.0.1", "10.77.0.53");
    invoke("writeToSystem");
    QCOMPARE(m_window->statusbar->currentMessage(), Finished);
    QCOMPARE(m_window->addressTypeInfoLabel->text(), QString("Manual"));
    QVERIFY(!dhcpClientRunning());
    QCOMPARE(addressesOf("vt0"), QStringList{"10.77.0.21/24"});
    QVERIFY(!addressesOf("vt0").join(' ').contains(leased));
    QCOMPARE(defaultGateway("vt0"), QString("10.77.0.1"));
}

void tst_system::refusedChangeLosesNothing()
{
    // cmd.exe and netsh run without the right to change interfaces.
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath("system32"));
    const QString real = qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32";
    QFile wrapper(root.path() + "/system32/cmd.exe");
    QVERIFY(wrapper.open(QIODevice::WriteOnly));
    wrapper.write(QStringLiteral("#!/bin/sh\nPATH=%1:$PATH exec setpriv --inh-caps=-all --bounding-set=-all %1/cmd.exe \"$@\"\n")
                      .arg(real).toUtf8());
    wrapper.close();
    wrapper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray systemroot = qgetenv("systemroot");
    qputenv("systemroot", QFile::encodeName(root.path()));

    const QString before = snapshot("vt0");
    fill("10.77.0.30", "255.255.255.0", "10.77.0.1", "10.77.0.53");
    invoke("writeToSystem");
    QCOMPARE(m_window->statusbar->currentMessage(), AddressFailed);
    QVERIFY(m_window->writeToSystemPushButton->isEnabled());
    QVERIFY(m_window->enableDhcpPushButton->isEnabled());
    QCOMPARE(snapshot("vt0"), before);

    invoke("dhcpAddress");
    QCOMPARE(m_window->statusbar->currentMessage(), DhcpSwitched);
    QVERIFY(!dhcpClientRunning());
    QCOMPARE(snapshot("vt0"), before);
    qputenv("systemroot", systemroot);
}

void tst_system::vanishedInterfaceIsReported()
{
    QVERIFY(testnet::ip({"tuntap", "add", "dev", "vt1", "mode", "tap"}));
    m_window.reset(new davErirido);
    const int row = m_window->interfaceComboBox->findData("vt1", Qt::UserRole);
    QVERIFY(row >= 0);
    m_window->interfaceComboBox->setCurrentIndex(row);
    QVERIFY(testnet::ip({"link", "del", "vt1"}));

    const QString before = snapshot("vt0");
    fill("10.77.0.31", "255.255.255.0", "10.77.0.1", "10.77.0.53");
    invoke("writeToSystem");
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
