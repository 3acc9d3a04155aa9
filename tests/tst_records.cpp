// The records the stand-ins keep (interface records, the class key) against
// the real kernel: they never speak for another adapter, and a damaged or
// planted one is refused with a reason while nothing else changes.
#include "netns.h"
#include "records/records.h"
#include "windowchanger.h"

#include <QtTest>

#include <cstdio>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString dev = "vrec0";
const QString classPrefix = "{4D36E972-E325-11CE-BFC1-08002bE10318}\\";

QString macOf()
{
    return testnet::ipJson({"link", "show", "dev", dev}).at(0)["address"].toString();
}

rtnl::Link linkOf()
{
    rtnl::Link link;
    rtnl::linkByName(dev.toStdString(), &link);
    return link;
}

// The adapter (one end of a veth pair) up with 10.9.0.2/24 and a default route,
// under a given index (0: any) and link-layer address (empty: any).
bool makeAdapter(int index = 0, const QString &address = QString())
{
    QStringList add{"link", "add", dev};
    if (index)
        add << "index" << QString::number(index);
    if (!address.isEmpty())
        add << "address" << address;
    return testnet::ip(add + QStringList{"type", "veth", "peer", "name", dev + "p"}) && testnet::ip({"link", "set", dev, "up"})
        && testnet::ip({"addr", "add", "10.9.0.2/24", "dev", dev})
        && testnet::ip({"route", "add", "default", "via", "10.9.0.1", "dev", dev, "metric", "30", "proto", "static"});
}

// Everything a refused change must leave as it was, a line each: the kernel's state and every entry under the
// state folder, with its link target and a regular file's content (a FIFO is never opened: reading it would wait).
QStringList observable()
{
    QStringList state = testnet::kernelState().split('\n');
    QDirIterator it(qEnvironmentVariable("VANTOREL_STATE_DIR"), QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (it.fileInfo().suffix() != "lock")   // locks come and go with each change made
            state << file.fileName() + ' ' + it.fileInfo().symLinkTarget() + ' '
                    + (it.fileInfo().isFile() && file.open(QIODevice::ReadOnly) ? QString::number(qHash(file.readAll())) : "-");
    }
    state.sort();
    return state;
}

// Puts something in the place of `path`: "garbage", "huge", "fifo", a "link" to a file of `victim` text in the state
// folder, or text of its own.
bool plant(const QString &path, const QString &kind, const QString &victim = QString())
{
    const QByteArray file = QFile::encodeName(path);
    const QString target = qEnvironmentVariable("VANTOREL_STATE_DIR") + "/victim";
    unlink(file.constData());
    if (kind == "fifo")
        return mkfifo(file.constData(), 0644) == 0;
    if (kind == "link")
        return plant(target, victim) && symlink(QFile::encodeName(target).constData(), file.constData()) == 0;
    QFile out(path);
    const QByteArray content = kind == "huge" ? QByteArray(64 * 1024 - 2, 'a') + "=b\n" // a byte over the bound
        : kind == "garbage"                   ? QByteArray("[0001]\nNetCfgInstanceId=x\ngarbage line\n[0002\n\xff")
                                              : kind.toUtf8();
    return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
}

// The worker's tool, vantorel-adapter, run to its end: its exit code; what it prints goes to *output.
int runAdapterTool(const QStringList &arguments, QString *output)
{
    return testnet::run(qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/tools/vantorel-adapter", arguments, output);
}

// What `f` writes to this process's standard error.
template <typename F>
QByteArray stderrOf(F f)
{
    QTemporaryFile file;
    if (!file.open())
        return "no file to catch it";
    const int saved = dup(2);
    dup2(file.handle(), 2);
    f();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    file.seek(0);
    return file.readAll();
}

} // namespace

class tst_records : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!testnet::unavailable().isEmpty())
            QSKIP(qPrintable(testnet::unavailable()));
        qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
        QVERIFY(testnet::useResolvConf("nameserver 192.0.2.1\n"));
    }

    void cleanup()
    {
        testnet::run("ip", {"link", "del", dev});
        QDir(m_state.path()).removeRecursively();   // the records code makes it again
    }

    void noTraceOfEarlierAdapter_data()
    {
        QTest::addColumn<bool>("newNamespace");
        // Only the namespace tells this one from the old adapter.
        QTest::newRow("same name, index and address in a new namespace") << true;
        QTest::newRow("same name and index in the same namespace") << false;
    }

    // An adapter with a static DNS server, an override applied and taken back (its own address remembered) and
    // another one waiting goes; a new one with its name, index and addresses must show none of it. A restart keeps
    // the IPv4 configuration; an empty override brings the adapter's own address back.
    void noTraceOfEarlierAdapter()
    {
        QFETCH(bool, newNamespace);
        QVERIFY(unshare(CLONE_NEWNET) == 0 && makeAdapter());
        const int index = linkOf().index;
        const QString original = macOf();
        const QString config = testnet::kernelState();
        QVERIFY(records::save(linkOf(), {"static", "10.9.0.2/24", "static", "203.0.113.5", 0, 0, {}, {}}));
        windowChanger changer;
        QVERIFY(changer.restartCard(changer.setMac({dev, "02-aa-bb-cc-dd-ee"}).value(1)));
        QCOMPARE(macOf(), QString("02:aa:bb:cc:dd:ee"));
        QCOMPARE(testnet::kernelState(), config);
        QVERIFY(changer.restartCard(changer.setMac({dev, ""}).value(1)));
        QCOMPARE(macOf(), original);
        const QString driverKey = changer.setMac({dev, "02-aa-bb-cc-dd-ef"}).value(1);

        QVERIFY(testnet::ip({"link", "del", dev}));
        // A namespace's inode number is handed to the next one made once it is
        // freed (which a socket kept open there delays); its cookie never is.
        if (newNamespace) {
            QVERIFY(unshare(CLONE_NEWNET) == 0);
            const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            uint64_t cookie = 0;
            socklen_t size = sizeof cookie;
            QVERIFY(getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &size) == 0 && close(fd) == 0);
            QVERIFY(QString::fromStdString(records::namespaceDir()).endsWith(QString("-c%1").arg(cookie)));
        }
        QVERIFY(makeAdapter(index, newNamespace ? original : QString()));
        const QString own = macOf();
        QCOMPARE(changer.getAddress(dev).dnsServer, QString("192.0.2.1"));
        // The waiting override was the old adapter's; the old own address too.
        QVERIFY(changer.restartCard(driverKey));
        QCOMPARE(macOf(), own);
    }

    void record_data()
    {
        QTest::addColumn<QString>("record");        // vrec0.state: lines after the adapter's identity, or plant()'s kind
        QTest::addColumn<QStringList>("change");    // `ip` arguments, one command per entry, on 10.9.0.2/24
        QTest::addColumn<QString>("refusal");       // netsh's, for both kinds of change; empty: none is tried
        QTest::addColumn<QString>("shown");         // DhcpEnabled, the DNS server and the DHCP server
        const QString leased = "addr add 10.9.0.7/24 dev vrec0 valid_lft 900 preferred_lft 900";
        const QString removed = "addr del 10.9.0.2/24 dev vrec0";
        const QString dns = "dnsSource=static\nstaticDns=203.0.113.5\n", fixed = dns + "method=static\naddresses=";
        const QString kernel = "0 192.0.2.1 ";     // the kernel's addresses, the resolver's server
        QTest::newRow("two, in another order") << fixed + "10.9.1.2/16,10.9.0.2/24" << QStringList{"addr add 10.9.1.2/16 dev vrec0"}
                                               << "" << "0 203.0.113.5 ";
        QTest::newRow("replaced by a leased one") << fixed + "10.9.0.2/24" << QStringList{removed, leased} << "" << "1 192.0.2.1 ";
        QTest::newRow("added beside") << fixed + "10.9.0.2/24" << QStringList{"addr add 10.9.0.8/24 dev vrec0"} << "" << kernel;
        QTest::newRow("damaged list") << fixed + "10.9.0.2/24,10.9.0.300/24" << QStringList() << "" << kernel;
        QTest::newRow("dhcp, leased") << "method=dhcp" << QStringList{removed, leased} << "" << "1 198.51.100.7 198.51.100.1";
        QTest::newRow("dhcp, a static one beside") << "method=dhcp" << QStringList{leased} << "" << kernel;
        QTest::newRow("dns only") << dns << QStringList() << "" << "0 203.0.113.5 ";
        QTest::newRow("garbage") << "garbage" << QStringList() << "is damaged: the line \"[0001]\" is no key=value" << kernel;
        QTest::newRow("one byte") << "x" << QStringList() << ": the line \"x\" is no key=value" << kernel;
        QTest::newRow("a key twice") << fixed + "10.9.0.2/24\nmethod=dhcp" << QStringList() << ": the key method is given twice"
                                     << kernel;
        QTest::newRow("a NUL byte") << dns + QChar(0) << QStringList() << ": it holds a NUL byte" << kernel;
        QTest::newRow("no process number") << "method=dhcp\nclientPid=1x" << QStringList() << ": clientPid is no process number"
                                           << kernel;
        QTest::newRow("no namespace number") << "method=dhcp\nclientMounts=-1" << QStringList()
                                             << ": clientMounts is no namespace number" << kernel;
        QTest::newRow("huge") << "huge" << QStringList() << "larger than a record" << kernel;
        QTest::newRow("FIFO") << "fifo" << QStringList() << "not a regular file" << kernel;
        QTest::newRow("link") << "link" << QStringList() << "symbolic link" << kernel;
    }

    // A record speaks for the adapter only while it has the addresses netsh or the DHCP client left; after a change
    // made with other tools the IP Helper shows what is true. A damaged or planted record is refused: netsh says why
    // in one line, and the adapter, the records and the link's target stay as they were.
    void record()
    {
        QFETCH(QString, record);
        QFETCH(QStringList, change);
        QFETCH(QString, refusal);
        QFETCH(QString, shown);
        QVERIFY(makeAdapter());
        const QString dir = QString::fromStdString(records::namespaceDir());
        const QString identity = "link=" + QString::fromStdString(records::identityOf(linkOf())) + "\n";
        QVERIFY(plant(dir + "/vrec0.lease", "dns=198.51.100.7 198.51.100.8\nserver=198.51.100.1\n")
                && plant(dir + "/vrec0.state", record.contains('=') ? identity + record : record, "method=static\n"));
        for (const QString &command : change)
            QVERIFY(testnet::ip(command.split(' ')));
        const QStringList before = observable();
        const QStringList commands = {"interface ip set dns name=vrec0 source=static addr=192.0.2.9",
                                      "interface ip set address name=vrec0 source=static addr=10.9.0.3 mask=255.255.255.0"};
        for (const QString &command : refusal.isEmpty() ? QStringList() : commands) {
            QString output;
            const int code = testnet::netsh(command, &output);
            QVERIFY2(code == 1 && output.contains(refusal) && output.count('\n') == 1,
                     qPrintable(QString("exit code %1: %2").arg(code).arg(output)));
        }
        QCOMPARE(observable(), before);
        windowChanger changer;
        const adapterRecord &r = changer.getAddress(dev);
        QCOMPARE(QString::number(r.dhcpEnabled) + " " + r.dnsServer + " " + r.dhcpServer, shown);
    }

    // A record folder that can't be made is named, and nothing changes.
    void folderUnmade()
    {
        QVERIFY(makeAdapter());
        QTemporaryFile file;
        QVERIFY(file.open());
        const QStringList before = observable();
        qputenv("VANTOREL_STATE_DIR", QFile::encodeName(file.fileName() + "/state"));
        QString output;
        const int code = testnet::netsh("interface ip set dns name=vrec0 source=static addr=192.0.2.9", &output);
        qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
        QVERIFY2(code == 1 && output.endsWith("/state can't be made: Not a directory.\n"), qPrintable(output));
        QCOMPARE(observable(), before);
    }

    // Root keeps its records in /run/vantorel, where every user's program reads them, whatever runtime folder
    // root's session has. (A /run of the test's own: the machine's stays untouched.)
    void rootsFolder()
    {
        QVERIFY(makeAdapter());
        QTemporaryDir runtime;
        QVERIFY(mount("tmpfs", "/run", "tmpfs", 0, "mode=755") == 0);
        qunsetenv("VANTOREL_STATE_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        QString output;
        const int code = testnet::netsh("interface ip set dns name=vrec0 source=static addr=192.0.2.9", &output);
        const QString dir = QString::fromStdString(records::namespaceDir());
        const bool recorded = QFile::exists(dir + "/vrec0.state");
        qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
        QVERIFY(umount2("/run", MNT_DETACH) == 0);
        QVERIFY2(code == 0, qPrintable(output));
        QVERIFY2(dir.startsWith("/run/vantorel/net-c") && recorded, qPrintable(dir));
        QVERIFY(QDir(runtime.path()).isEmpty());
    }

    void classKey_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("why");   // in vantorel-adapter's line
        QTest::newRow("garbage") << "garbage" << " line 3 is no key=value; it is left as it is.\n";
        QTest::newRow("subkey beyond four digits") << "[2147483647]\nNetCfgInstanceId=vrec0\n" << " that is no four-digit number;";
        QTest::newRow("huge") << "huge" << " is larger than a class key can be; it is left as it is.\n";
        QTest::newRow("FIFO") << "fifo" << " is not a regular file; it is left as it is.\n";
        QTest::newRow("link") << "link" << " is a symbolic link; it is left as it is.\n";
        QTest::newRow("every number taken") << "[9999]\nNetCfgInstanceId=vrec9\n" << " has no subkey number left for vrec0";
    }

    // A damaged or planted class key is left as it is, and the link's target too: an override is not stored (no
    // driver key comes back). The worker says nothing of it on stderr, as the program must not; vantorel-adapter
    // prints the reason in one line and fails, for a listing too.
    void classKey()
    {
        QFETCH(QString, kind);
        QFETCH(QString, why);
        QVERIFY(makeAdapter());
        QVERIFY(plant(QString::fromStdString(records::namespaceDir()) + "/class-key.ini", kind,
                      "[0000]\nNetCfgInstanceId=vrec0\n"));
        const QStringList before = observable();
        windowChanger changer;
        QCOMPARE(stderrOf([&] {
                     QCOMPARE(changer.setMac({dev, "02-aa-bb-cc-dd-ee"}), QStringList({"1", classPrefix}));
                     changer.restartCard(classPrefix + "0000");
                 }),
                 QByteArray());
        for (const QString command : {"set-mac vrec0 02-aa-bb-cc-dd-ee", "list"}) {
            QString output;
            QCOMPARE(runAdapterTool(command.split(' '), &output), 1);
            QVERIFY2(output.startsWith("vantorel-adapter: The class key ") && output.contains(why)
                         && output.count('\n') == 1, qPrintable(output));
        }
        QCOMPARE(observable(), before);
    }

    // The worker's tool, one command after another: what each prints and its exit code, and the override applied.
    void adapterTool()
    {
        QVERIFY(makeAdapter());
        // The far end of the pair is made first.
        const QString key = classPrefix + "0001", other = "0000  " + classPrefix + "0000  vrec0p\n";
        const struct { QString arguments; int code; QString output; } steps[] = {
            {"list", 0, other + "0001  " + key + "  vrec0\n"},
            {"set-mac vrec0 02-aa-bb-cc-dd-ee", 0, key + "\n"},
            {"list", 0, other + "0001  " + key + "  vrec0  NetworkAddress=02-aa-bb-cc-dd-ee\n"},
            {"restart " + key, 0, ""},
            {"restart " + classPrefix + "0009", 1, "vantorel-adapter: no adapter has the driver key " + classPrefix
                                                      + "0009 (see vantorel-adapter list)\n"},
            {"set-mac vrec9 02-aa-bb-cc-dd-ee", 1, "vantorel-adapter: no adapter vrec9 in the class key (see vantorel-adapter list)\n"},
            {"list vrec0", 2, "usage: vantorel-adapter list\n"},   // and the rest of the usage
        };
        for (const auto &step : steps) {
            QString output;
            const int code = runAdapterTool(step.arguments.split(' '), &output);
            QVERIFY2(code == step.code && (code == 2 ? output.section('\n', 0, 0) + '\n' : output) == step.output,
                     qPrintable(QString("%1: exit code %2, %3").arg(step.arguments).arg(code).arg(output)));
        }
        QCOMPARE(macOf(), QString("02:aa:bb:cc:dd:ee"));
    }

private:
    QTemporaryDir m_state;
};

QTEST_GUILESS_MAIN(tst_records)
#include "tst_records.moc"
