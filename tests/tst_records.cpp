// The records the stand-ins keep (interface records, the class key) against
// the real kernel: they never speak for another adapter, and a damaged or
// planted one is refused with a reason while nothing else changes.
#include "netns.h"
#include "netstate_linux.h"
#include "windowchanger.h"

#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString dev = "vrec0";
const QString classPrefix = "{4D36E972-E325-11CE-BFC1-08002bE10318}\\";

QString macOf()
{
    return testnet::ipJson({"link", "show", "dev", dev}).at(0)["address"].toString();
}

// The adapter (one end of a veth pair) up with 10.9.0.2/24, under a given
// index (0: any) and link-layer address (empty: any).
bool makeAdapter(int index = 0, const QString &address = QString())
{
    QStringList add{"link", "add", dev};
    if (index)
        add << "index" << QString::number(index);
    if (!address.isEmpty())
        add << "address" << address;
    return testnet::ip(add + QStringList{"type", "veth", "peer", "name", dev + "p"}) && testnet::ip({"link", "set", dev, "up"})
        && testnet::ip({"addr", "add", "10.9.0.2/24", "dev", dev});
}

ino_t namespaceInode()
{
    struct stat st {};
    stat("/proc/self/ns/net", &st);
    return st.st_ino;
}

rtnl::Link linkOf()
{
    rtnl::Link link;
    rtnl::linkByName(dev.toStdString(), &link);
    return link;
}

// Everything a refused change must leave as it was: the adapter, the resolver
// and every file of the record folder (type, mode and content).
QString observable(const QString &dir)
{
    QString state = QJsonDocument(testnet::ipJson({"addr", "show", "dev", dev})).toJson()
        + QJsonDocument(testnet::ipJson({"-4", "route", "show"})).toJson();
    QFile resolver("/etc/resolv.conf");
    state += resolver.open(QIODevice::ReadOnly) ? resolver.readAll() : QByteArray("no resolver");
    for (const QFileInfo &entry : QDir(dir).entryInfoList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (entry.suffix() == QLatin1String("lock"))
            continue;   // netsh's lock, made before it reads a record
        struct stat st {};
        lstat(QFile::encodeName(entry.filePath()).constData(), &st);
        state += QString("\n%1 %2 %3 ").arg(entry.fileName()).arg(st.st_mode, 0, 8).arg(entry.symLinkTarget());
        QFile file(entry.filePath());
        if (S_ISREG(st.st_mode) && file.open(QIODevice::ReadOnly))
            state += QString::number(qHash(file.readAll()));
    }
    return state;
}

// "" when the two are the same, else the first line where they differ.
QString difference(const QString &before, const QString &after)
{
    const QStringList a = before.split('\n'), b = after.split('\n');
    for (int i = 0; i < qMax(a.size(), b.size()); ++i) {
        if (a.value(i) != b.value(i))
            return "was \"" + a.value(i) + "\", is \"" + b.value(i) + "\"";
    }
    return QString();
}

// `netsh <command>` run directly; its exit code and output.
int netsh(const QString &command, QString *output)
{
    return testnet::run(qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/netsh", command.split(' '), output);
}

// Puts something in the place of `path`: "garbage", "huge", "fifo", "zero" (the
// device /dev/zero is), "link" (to a file of the caller's), or text of its own.
bool plant(const QString &path, const QString &kind, const QString &linkTarget)
{
    const QByteArray file = QFile::encodeName(path);
    unlink(file.constData());
    if (kind == "fifo")
        return mkfifo(file.constData(), 0644) == 0;
    if (kind == "zero")
        return mknod(file.constData(), S_IFCHR | 0644, makedev(1, 5)) == 0;
    if (kind == "link")
        return symlink(QFile::encodeName(linkTarget).constData(), file.constData()) == 0;
    QFile out(path);
    const QByteArray content = kind == "huge" ? QByteArray(80 * 1024, 'a') + "=b\n"
        : kind == "garbage"                   ? QByteArray("[0001]\nNetCfgInstanceId=x\ngarbage line\n[0002\n\xff")
                                              : kind.toUtf8();
    return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
}

} // namespace

class tst_records : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void holds_data();
    void holds();
    void noTraceOfEarlierAdapter_data();
    void noTraceOfEarlierAdapter();
    void overtakenRecord_data();
    void overtakenRecord();
    void refusedRecord_data();
    void refusedRecord();
    void refusedClassKey_data();
    void refusedClassKey();

private:
    QTemporaryDir m_state;
    QTemporaryDir m_elsewhere;
};

void tst_records::initTestCase()
{
    QVERIFY(m_state.isValid() && m_elsewhere.isValid());
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
    qunsetenv("VANTOREL_CLASS_KEY");
}

void tst_records::init()
{
    if (QString(QTest::currentTestFunction()) == "holds")
        return;
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    QVERIFY(testnet::useResolvConf("nameserver 192.0.2.1\n"));
}

void tst_records::cleanup()
{
    testnet::run("ip", {"link", "del", dev});
    QDir(m_state.path()).removeRecursively();
    QDir().mkpath(m_state.path());
}

void tst_records::holds_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("recorded");
    QTest::addColumn<QString>("present");       // "a.b.c.d/nn" with "~" for one with a lifetime
    QTest::addColumn<bool>("holds");
    QTest::newRow("static, as set") << "static" << "10.0.0.2/24,10.0.1.2/16" << "10.0.1.2/16 10.0.0.2/24" << true;
    QTest::newRow("static, another mask") << "static" << "10.0.0.2/24" << "10.0.0.2/16" << false;
    QTest::newRow("static, one added") << "static" << "10.0.0.2/24" << "10.0.0.2/24 10.0.0.3/24" << false;
    QTest::newRow("static, all gone") << "static" << "10.0.0.2/24" << "" << false;
    QTest::newRow("static, nothing recorded") << "static" << "" << "" << false;
    QTest::newRow("static, damaged list") << "static" << "10.0.0.2/24,10.0.0.300/24" << "10.0.0.2/24" << false;
    QTest::newRow("dhcp, leased") << "dhcp" << "" << "~10.0.0.50/24" << true;
    QTest::newRow("dhcp, waiting") << "dhcp" << "" << "" << true;
    QTest::newRow("dhcp, a static one beside") << "dhcp" << "" << "~10.0.0.50/24 10.0.0.2/24" << false;
    QTest::newRow("dns only") << "" << "" << "10.0.0.2/24" << true;
}

void tst_records::holds()
{
    QFETCH(QString, method);
    QFETCH(QString, recorded);
    QFETCH(QString, present);
    QFETCH(bool, holds);
    netstate::InterfaceState state;
    state.method = method.toStdString();
    state.addresses = recorded.toStdString();
    std::vector<rtnl::Address4> addresses;
    for (QString word : present.split(' ', Qt::SkipEmptyParts)) {
        rtnl::Address4 a;
        a.permanent = !word.startsWith('~');
        word.remove('~');
        QVERIFY(rtnl::fromText(word.section('/', 0, 0).toStdString(), &a.address));
        a.prefix = word.section('/', 1).toInt();
        addresses.push_back(a);
    }
    QCOMPARE(netstate::holds(state, addresses), holds);
}

void tst_records::noTraceOfEarlierAdapter_data()
{
    QTest::addColumn<bool>("newNamespace");
    // Only the namespace tells this one from the old adapter.
    QTest::newRow("same name, index and address in a new namespace") << true;
    QTest::newRow("same name and index in the same namespace") << false;
}

// An adapter with a static DNS server, a record of its method, an override
// applied (its own address remembered) and another one waiting goes; a new one
// with its name, index and addresses must show none of it.
void tst_records::noTraceOfEarlierAdapter()
{
    QFETCH(bool, newNamespace);
    QVERIFY(unshare(CLONE_NEWNET) == 0 && makeAdapter());
    const int index = linkOf().index;
    QVERIFY(netstate::save(linkOf(), {"static", "10.9.0.2/24", "static", "203.0.113.5", 0, {}, {}}));
    windowChanger changer;
    QCOMPARE(changer.getAddress(dev).dnsServer, QString("203.0.113.5"));
    QStringList result = changer.setMac({dev, "02-aa-bb-cc-dd-ee"});
    QVERIFY(result.size() == 2 && changer.restartCard(result[1]));
    QCOMPARE(macOf(), QString("02:aa:bb:cc:dd:ee"));
    const QString driverKey = changer.setMac({dev, "02-aa-bb-cc-dd-ef"}).value(1);

    QVERIFY(testnet::ip({"link", "del", dev}));
    // The kernel hands a freed namespace's inode number to the next namespace
    // made: wait for that, so that only the cookie tells the two apart.
    const ino_t old = namespaceInode();
    for (int tries = 0; newNamespace && tries < 200; ++tries) {
        QVERIFY(unshare(CLONE_NEWNET) == 0);
        if (namespaceInode() == old)
            break;
        QTest::qWait(10);
    }
    QVERIFY(makeAdapter(index, newNamespace ? "02:aa:bb:cc:dd:ee" : QString()));
    const QString own = macOf();
    const adapterRecord &r = changer.getAddress(dev);
    QCOMPARE(QStringList({r.dnsServer, QString::number(r.dhcpEnabled)}), QStringList({"192.0.2.1", "0"}));
    // The waiting override was the old adapter's; the old own address too.
    QVERIFY(changer.restartCard(driverKey));
    QCOMPARE(macOf(), own);
    result = changer.setMac({dev, ""});
    QVERIFY(result.size() == 2 && changer.restartCard(result[1]));
    QCOMPARE(macOf(), own);
    netstate::InterfaceState state;
    netstate::load(linkOf(), &state);
    QVERIFY2(state.method.empty() && state.staticDns.empty(), "the old adapter's record was taken for the new one");
}

void tst_records::overtakenRecord_data()
{
    QTest::addColumn<QStringList>("change");    // `ip` arguments, one command per entry
    QTest::addColumn<QString>("shown");         // DhcpEnabled and the DNS server
    QTest::newRow("as netsh left it") << QStringList() << "0 203.0.113.5";
    QTest::newRow("address replaced by a leased one")
        << QStringList{"addr del 10.9.0.2/24 dev vrec0", "addr add 10.9.0.7/24 dev vrec0 valid_lft 900 preferred_lft 900"}
        << "1 192.0.2.1";
    QTest::newRow("address added beside") << QStringList{"addr add 10.9.0.8/24 dev vrec0"} << "0 192.0.2.1";
    QTest::newRow("other mask") << QStringList{"addr del 10.9.0.2/24 dev vrec0", "addr add 10.9.0.2/16 dev vrec0"}
                                << "0 192.0.2.1";
}

// A static record speaks for the adapter only while it has the addresses netsh
// set; after a change made with other tools the IP Helper shows what is true.
void tst_records::overtakenRecord()
{
    QFETCH(QStringList, change);
    QFETCH(QString, shown);
    QVERIFY(makeAdapter());
    QVERIFY(netstate::save(linkOf(), {"static", "10.9.0.2/24", "static", "203.0.113.5", 0, {}, {}}));
    for (const QString &command : change)
        QVERIFY(testnet::ip(command.split(' ')));
    windowChanger changer;
    const adapterRecord &r = changer.getAddress(dev);
    QCOMPARE(QString::number(r.dhcpEnabled) + " " + r.dnsServer, shown);
}

void tst_records::refusedRecord_data()
{
    QTest::addColumn<QString>("file");          // in the record folder, or "." for the folder itself
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("garbage") << "vrec0.state" << "garbage" << "is damaged";
    QTest::newRow("key twice") << "vrec0.state" << "link=x\nmethod=static\nmethod=dhcp\n" << "is damaged";
    QTest::newRow("pid no number") << "vrec0.state" << "link=x\nclientPid=-1\n" << "is damaged";
    QTest::newRow("huge") << "vrec0.state" << "huge" << "larger than a record";
    QTest::newRow("FIFO") << "vrec0.state" << "fifo" << "not a regular file";
    // On a file system mounted nodev the device can't even be opened.
    QTest::newRow("/dev/zero") << "vrec0.state" << "zero" << "vrec0.state";
    QTest::newRow("link") << "vrec0.state" << "link" << "symbolic link";
    QTest::newRow("folder a link") << "." << "link" << "is a symbolic link";
    QTest::newRow("folder writable by all") << "." << "0777" << "can be written by other users";
}

// Both kinds of change through netsh refuse, say why in one line, and leave
// the adapter, the resolver and the records as they were.
void tst_records::refusedRecord()
{
    QFETCH(QString, file);
    QFETCH(QString, kind);
    QFETCH(QString, message);
    QVERIFY(makeAdapter());
    const QString dir = QString::fromStdString(netstate::namespaceDir());
    const QString victim = m_elsewhere.filePath("victim");
    QVERIFY(plant(victim, "method=static\n", QString()));
    if (file == "." && kind == "link")
        QVERIFY(QDir(dir).removeRecursively() && plant(dir, kind, m_elsewhere.path()));
    else if (file == ".")
        QVERIFY(chmod(QFile::encodeName(dir).constData(), kind.toUInt(nullptr, 8)) == 0);
    else
        QVERIFY(plant(dir + "/" + file, kind, victim));
    const QString before = observable(dir) + observable(m_elsewhere.path());
    for (const char *command : {"interface ip set dns name=vrec0 source=static addr=192.0.2.9",
                                   "interface ip set address name=vrec0 source=static addr=10.9.0.3 mask=255.255.255.0"}) {
        QString output;
        QElapsedTimer timer;
        timer.start();
        const int code = netsh(command, &output);
        QVERIFY2(code == 1 && output.contains(message) && output.count('\n') == 1,
                 qPrintable(QString("exit code %1: %2").arg(code).arg(output)));
        QVERIFY2(timer.elapsed() < 5000, "netsh was held up");
        const QString changed = difference(before, observable(dir) + observable(m_elsewhere.path()));
        QVERIFY2(changed.isEmpty(), qPrintable(changed));
    }
    // The IP Helper shows the adapter as the kernel has it.
    windowChanger changer;
    const adapterRecord &r = changer.getAddress(dev);
    QCOMPARE(QStringList({QString::number(r.status), r.ipAddress, r.dnsServer}), QStringList({"1", "10.9.0.2", "192.0.2.1"}));
    chmod(QFile::encodeName(dir).constData(), 0755);
}

void tst_records::refusedClassKey_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("garbage") << "garbage";
    QTest::newRow("subkey beyond four digits") << "[2147483647]\nNetCfgInstanceId=vrec0\n";
    QTest::newRow("negative subkey") << "[-001]\nNetCfgInstanceId=vrec0\n";
    QTest::newRow("NextInstance beyond four digits") << "[General]\nNextInstance=2147483647\n";
    QTest::newRow("NextInstance no number") << "[General]\nNextInstance=many\n";
    QTest::newRow("huge") << "huge";
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("link") << "link";
}

// The override is not stored (no driver key comes back), the restart touches
// nothing, and the class key stays exactly as it was.
void tst_records::refusedClassKey()
{
    QFETCH(QString, kind);
    QVERIFY(makeAdapter());
    const QString own = macOf();
    const QString dir = QString::fromStdString(netstate::namespaceDir());
    QVERIFY(plant(m_elsewhere.filePath("victim"), "[0000]\nNetCfgInstanceId=vrec0\n", QString()));
    QVERIFY(plant(dir + "/class-key.ini", kind, m_elsewhere.filePath("victim")));
    const QString before = observable(dir) + observable(m_elsewhere.path());
    windowChanger changer;
    QCOMPARE(changer.setMac({dev, "02-aa-bb-cc-dd-ee"}), QStringList({"1", classPrefix}));
    QVERIFY(changer.restartCard(classPrefix + "0000"));
    QCOMPARE(macOf(), own);
    const QString changed = difference(before, observable(dir) + observable(m_elsewhere.path()));
    QVERIFY2(changed.isEmpty(), qPrintable(changed));
}

QTEST_GUILESS_MAIN(tst_records)
#include "tst_records.moc"
