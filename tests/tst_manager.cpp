// Who manages an interface, decided from the processes and files found.
#include "kernel/netns.h"
#include "managers/manager.h"

#include <QtTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// "dhcpcd -4 eth1": a program and its arguments; "dhcpcd: [...] eth1" (a
// title that hides the arguments): one word.
manager::Process process(int pid, const QString &commandLine)
{
    manager::Process p;
    p.pid = pid;
    const QStringList words = commandLine.split(' ', Qt::SkipEmptyParts);
    for (const QString &word : commandLine.contains(':') ? QStringList{commandLine} : words)
        p.argv.push_back(word.toStdString());
    p.comm = words.value(0).remove(':').toStdString();
    return p;
}

} // namespace

class tst_manager : public QObject
{
    Q_OBJECT
private slots:
    void decide_data()
    {
        QTest::addColumn<QString>("daemon");        // "NetworkManager" or "systemd-networkd" runs for the interface
        QTest::addColumn<QStringList>("clients");   // processes 1, 2, ...
        QTest::addColumn<QList<int>>("own");           // netsh started them
        QTest::addColumn<QString>("owner");         // of eth1, for the message; empty: nobody
        const auto one = [](const QString &commandLine) { return QStringList{commandLine}; };
        QTest::newRow("dhclient names it") << "" << one("dhclient -v -pf /run/d.pid eth1") << QList<int>() << "dhclient (process 1)";
        QTest::newRow("dhclient for every interface") << "" << one("dhclient -pf /run/d.pid") << QList<int>() << "dhclient (process 1)";
        QTest::newRow("an option's value is no interface") << "" << one("dhclient -cf eth1 eth0") << QList<int>() << "";
        QTest::newRow("dhcpcd helper's title, for another") << "" << one("dhcpcd: [privileged proxy] eth0") << QList<int>() << "";
        QTest::newRow("udhcpc -i") << "" << one("udhcpc -i eth1 -p /run/udhcpc.pid") << QList<int>() << "udhcpc (process 1)";
        QTest::newRow("udhcpc --interface=") << "" << one("udhcpc --interface=eth1") << QList<int>() << "udhcpc (process 1)";
        QTest::newRow("udhcpc serves eth0 by default") << "" << one("udhcpc -b") << QList<int>() << "";
        QTest::newRow("not a DHCP client") << "" << one("sshd eth1") << QList<int>() << "";
        QTest::newRow("a foreign client beside our own")
            << "" << QStringList{"dhcpcd: [BPF ARP] eth1 10.0.0.5", "dhcpcd -4 -b eth1", "dhclient eth1"} << QList<int>{1, 2}
            << "dhclient (process 3)";
        QTest::newRow("NetworkManager's own client") << "NetworkManager" << one("dhclient eth1") << QList<int>() << "NetworkManager";
        QTest::newRow("systemd-networkd") << "systemd-networkd" << QStringList() << QList<int>() << "systemd-networkd";
    }

    void decide()
    {
        QFETCH(QString, daemon);
        QFETCH(QStringList, clients);
        QFETCH(QList<int>, own);
        QFETCH(QString, owner);
        std::vector<manager::Process> processes;
        for (int i = 0; i < clients.size(); ++i)
            processes.push_back(process(i + 1, clients[i]));
        const manager::Owner found = manager::decide("eth1", daemon == "NetworkManager", processes, {own.begin(), own.end()},
                                                     daemon == "systemd-networkd");
        QCOMPARE(QString::fromStdString(found.name), owner);
    }

    // systemd-networkd's state file of the link: its administrative state says whether it manages the link.
    void networkd()
    {
        QVERIFY(manager::networkdManages("# This is private data.\nADMIN_STATE=configured\nOPER_STATE=routable\n"));
        QVERIFY(!manager::networkdManages("ADMIN_STATE=unmanaged\nOPER_STATE=carrier\n"));
    }

    // The machine's own namespace is init's (a container's init's in a container); where pid 1's can't be read,
    // nothing tells, and the answer is no. Asked by pid 2 of a PID namespace of its own, or by a process beside
    // the machine's init, each in a network namespace of its own.
    void machineNamespace_data()
    {
        QTest::addColumn<bool>("ownInit");      // a PID namespace whose init shares the network namespace
        QTest::addColumn<bool>("initHidden");   // an empty folder mounted over /proc/1
        QTest::addColumn<bool>("machines");
        QTest::newRow("beside its init") << true << false << true;
        QTest::newRow("beside its init, hidden") << true << true << false;
        QTest::newRow("away from the machine's init") << false << false << false;
    }

    void machineNamespace()
    {
        QFETCH(bool, ownInit);
        QFETCH(bool, initHidden);
        QFETCH(bool, machines);
        if (::geteuid() != 0)
            QSKIP("namespaces and mounts need root");
        QTemporaryDir empty;
        const QByteArray emptyPath = QFile::encodeName(empty.path());
        const auto answer = [&]() -> int {
            if (initHidden && ::mount(emptyPath.constData(), "/proc/1", nullptr, MS_BIND, nullptr) != 0)
                return 2;
            return netns::isMachines() ? 1 : 0;
        };
        const auto waitFor = [](pid_t pid) {
            int status = 0;
            return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : 2;
        };
        const pid_t child = ::fork();
        if (child == 0) {
            // Private mounts: nothing the child mounts reaches the machine.
            if (::unshare(CLONE_NEWNS | CLONE_NEWNET | (ownInit ? CLONE_NEWPID : 0)) != 0
                || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                ::_exit(2);
            if (!ownInit)
                ::_exit(answer());
            const pid_t init = ::fork();
            if (init == 0) {
                if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
                    ::_exit(2);
                const pid_t second = ::fork();
                if (second == 0)
                    ::_exit(answer());
                ::_exit(waitFor(second));
            }
            ::_exit(waitFor(init));
        }
        const int status = waitFor(child);
        QVERIFY2(status != 2, "the child's namespaces could not be made");
        QCOMPARE(status == 1, machines);
    }
};

QTEST_GUILESS_MAIN(tst_manager)
#include "tst_manager.moc"
