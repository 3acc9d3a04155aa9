// Who manages an interface, decided from the processes and files found.
#include "manager_linux.h"

#include <QtTest>

Q_DECLARE_METATYPE(manager::Kind)

namespace {

// "dhcpcd -4 eth1": a program and its arguments; "dhcpcd: [...] eth1" (a
// title that hides the arguments): one word; "3<-dhcpcd ...": the child of 3.
manager::Process process(int pid, QString commandLine)
{
    manager::Process p;
    p.pid = pid;
    const int arrow = commandLine.indexOf("<-");
    if (arrow > 0) {
        p.ppid = commandLine.left(arrow).toInt();
        commandLine = commandLine.mid(arrow + 2);
    }
    const QStringList words = commandLine.split(' ', Qt::SkipEmptyParts);
    if (commandLine.contains(':'))
        p.argv.push_back(commandLine.toStdString());
    else
        for (const QString &word : words)
            p.argv.push_back(word.toStdString());
    p.comm = words.value(0).remove(':').toStdString();
    return p;
}

} // namespace

class tst_manager : public QObject
{
    Q_OBJECT
private slots:
    void clientServes_data()
    {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<bool>("servesEth1");
        QTest::newRow("dhclient names it") << "dhclient -4 -v -pf /run/dhclient.eth1.pid eth1" << true;
        QTest::newRow("dhclient for every interface") << "dhclient -4 -pf /run/dhclient.pid" << true;
        QTest::newRow("an option's value is no interface") << "dhclient -cf eth1 eth0" << false;
        QTest::newRow("dhcpcd helper's title") << "dhcpcd: [privileged proxy] eth1 [ip4]" << true;
        QTest::newRow("udhcpc -i") << "udhcpc -i eth1 -p /run/udhcpc.pid" << true;
        QTest::newRow("udhcpc serves eth0 by default") << "udhcpc -b" << false;
        QTest::newRow("not a DHCP client") << "sshd eth1" << false;
    }

    void clientServes()
    {
        QFETCH(QString, commandLine);
        QFETCH(bool, servesEth1);
        QCOMPARE(manager::serves(process(1, commandLine), "eth1"), servesEth1);
    }

    void decide_data()
    {
        QTest::addColumn<bool>("networkManager");
        QTest::addColumn<QStringList>("clients");
        QTest::addColumn<int>("ownClient");
        QTest::addColumn<bool>("networkd");
        QTest::addColumn<manager::Kind>("kind");
        QTest::addColumn<QString>("name");
        // Our client's helpers (a grandchild listed before its parent) are ours; the dhclient is not.
        QTest::newRow("a foreign client beside our own")
            << false << QStringList{"3<-dhcpcd: [BPF ARP] eth1 10.0.0.5", "dhcpcd -4 -b eth1",
                                    "2<-dhcpcd: [privileged proxy] eth1 [ip4]", "dhclient eth1"}
            << 2 << false << manager::Kind::DhcpClient << "dhclient (process 4)";
        QTest::newRow("NetworkManager with its own client") << true << QStringList{"dhclient eth1"} << 0 << false
                                                            << manager::Kind::NetworkManager << "NetworkManager";
        QTest::newRow("systemd-networkd") << false << QStringList() << 0 << true << manager::Kind::Networkd
                                          << "systemd-networkd";
    }

    void decide()
    {
        QFETCH(bool, networkManager);
        QFETCH(QStringList, clients);
        QFETCH(int, ownClient);
        QFETCH(bool, networkd);
        QFETCH(manager::Kind, kind);
        QFETCH(QString, name);
        std::vector<manager::Process> processes;
        for (int i = 0; i < clients.size(); ++i)
            processes.push_back(process(i + 1, clients[i]));
        const manager::Owner owner = manager::decide("eth1", networkManager, processes, ownClient, networkd);
        QCOMPARE(owner.kind, kind);
        QCOMPARE(QString::fromStdString(owner.name), name);
    }

    // systemd-networkd's state file of the link: its administrative state says whether it manages the link.
    void networkd()
    {
        QVERIFY(manager::networkdManages("# This is private data.\nADMIN_STATE=configured\nOPER_STATE=routable\n"));
        QVERIFY(!manager::networkdManages("ADMIN_STATE=unmanaged\nOPER_STATE=carrier\n"));
    }
};

QTEST_GUILESS_MAIN(tst_manager)
#include "tst_manager.moc"
