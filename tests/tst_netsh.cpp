// The network shell stand-in against the real kernel, reached through cmd.exe as the
// worker reaches it, in CTest's namespace; a DHCP server answers from a second one.
#include "netns.h"
#include "netstate_linux.h"

#include <QtTest>

#include <csignal>

namespace {

const QString dev = "vn0";
QString recordDir; // netsh's records for this network namespace

QString readText(const QString &path)
{
    QFile file(path);
    return "\n" + (file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString());
}

int clientPid()
{
    return readText(recordDir + "/" + dev + ".state").section("\nclientPid=", 1, 1).section('\n', 0, 0).toInt();
}

// "10.0.0.5/24 10.0.0.6/24 | 10.0.0.1 7": the IPv4 addresses, then the default routes (gateway metric).
QString configOf()
{
    QStringList words;
    for (const QJsonValue &a : testnet::ipJson({"-4", "addr", "show", "dev", dev}).at(0).toObject().value("addr_info").toArray())
        words << a.toObject().value("local").toString() + "/" + QString::number(a.toObject().value("prefixlen").toInt());
    words << "|";
    for (const QJsonValue &r : testnet::ipJson({"-4", "route", "show", "default", "dev", dev}))
        words << r.toObject().value("gateway").toString() + " " + QString::number(r.toObject().value("metric").toInt());
    return words.join(' ');
}

bool isDhcpClient(int pid)
{
    return pid > 0 && readText(QString("/proc/%1/comm").arg(pid)) == "\ndhcpcd\n"
        && !readText(QString("/proc/%1/stat").arg(pid)).section(')', -1).startsWith(" Z");
}

// `cmd.exe /c "netsh <command>"`, %1 standing for the interface: its exit code, its output in *output.
int netsh(const QString &command, QString *output = nullptr, const QStringList &wrapper = QStringList())
{
    const QStringList line = wrapper + QStringList{qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/cmd.exe", "/c",
                                                   "netsh " + QString(command).replace("%1", dev)};
    return testnet::run(line.first(), line.mid(1), output);
}

} // namespace

class tst_netsh : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void refused_data();
    void refused();
    void changes();

private:
    // The interface and its peer; "a.b.c.d/nn" addresses and "via a.b.c.d metric n" default routes.
    bool setUp(const QStringList &config);

    QTemporaryDir m_state;
    std::unique_ptr<testnet::Peer> m_peer;
};

void tst_netsh::initTestCase()
{
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    QVERIFY(m_state.isValid());
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
    recordDir = QString::fromStdString(netstate::namespaceDir());
}

void tst_netsh::cleanup()
{
    if (isDhcpClient(clientPid()))
        kill(clientPid(), SIGTERM);
    m_peer.reset();
    QDir(recordDir).removeRecursively();
}

bool tst_netsh::setUp(const QStringList &config)
{
    m_peer.reset(new testnet::Peer(dev, "10.60.0.1/24"));
    bool ok = testnet::useResolvConf("# test resolver\nnameserver 192.0.2.1\nnameserver 192.0.2.2\n") && m_peer->ok();
    for (const QString &c : config)
        ok = ok && testnet::ip(c.startsWith("via ") ? QStringList{"route", "add", "default", "dev", dev, "proto", "static"} + c.split(' ')
                                                     : QStringList{"addr", "add", c, "brd", "+", "dev", dev});
    // A record of netsh's, which a refused command must keep as well.
    return ok && netsh("interface ip set dns name=%1 source=static addr=192.0.2.1") == 0;
}

void tst_netsh::refused_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("message"); // the one line it prints
    QTest::addColumn<bool>("admin"); // false: run without CAP_NET_ADMIN
    const QString addr = "interface ip set address name=%1 source=static ";
    const QString good = "addr=10.60.0.9 mask=255.255.255.0 gateway=10.60.0.1 gwmetric=1";
    QTest::newRow("unknown command") << "interface ipv6 set address name=%1 source=dhcp" << "was not found" << true;
    QTest::newRow("newline in a value") << "interface ip set address name=%1 source=st\natic" << "Invalid source value 'st?atic'" << true;
    QTest::newRow("keyword twice") << addr + good + " ADDR=10.60.0.8" << "given twice" << true;
    QTest::newRow("leading zero") << addr + "addr=10.60.0.09 mask=255.255.255.0" << "Invalid addr" << true;
    QTest::newRow("broadcast address") << addr + "addr=10.60.0.255 mask=255.255.255.0" << "not a host address" << true;
    QTest::newRow("holes in mask") << addr + "addr=10.60.0.9 mask=255.255.0.255" << "contiguous" << true;
    QTest::newRow("gateway elsewhere") << addr + "addr=10.60.0.9 mask=255.255.255.0 gateway=10.61.0.1" << "not in the subnet" << true;
    QTest::newRow("dns multicast") << "interface ip set dns name=%1 source=static addr=239.1.1.1" << "not the address of a DNS server" << true;
    QTest::newRow("unknown interface") << "interface ip set address name=nosuch0 source=static " + good << "no interface named 'nosuch0'" << true;
    QTest::newRow("kernel refuses") << addr + good << "Operation not permitted" << false;
}

void tst_netsh::refused()
{
    QFETCH(QString, command);
    QFETCH(QString, message);
    QFETCH(bool, admin);
    QVERIFY(setUp({"10.60.0.5/24", "10.60.0.6/24", "via 10.60.0.1 metric 7"}));
    const auto observable = [] {
        return QJsonDocument(testnet::ipJson({"-4", "addr", "show", "dev", dev})).toJson()
            + QJsonDocument(testnet::ipJson({"-4", "route", "show"})).toJson() + readText("/etc/resolv.conf")
            + readText(recordDir + "/" + dev + ".state") + QDir(recordDir).entryList(QDir::Files).join(' ');
    };
    const QString before = observable();
    QString output;
    const int code = netsh(command, &output, admin ? QStringList() : QStringList{"setpriv", "--inh-caps=-all", "--bounding-set=-net_admin"});
    QVERIFY2(code == 1 && output.contains(message) && output.count('\n') == 1, qPrintable(QString("exit code %1: %2").arg(code).arg(output)));
    QVERIFY2(observable() == before, qPrintable("changed:\n" + before + "\n---\n" + observable()));
}

// Static over what another tool left, then DHCP from the peer's server, then static again.
void tst_netsh::changes()
{
    // 10.60.0.9/24 joins 10.60.0.7/24 as a secondary, which the kernel drops when
    // that primary goes; 10.60.0.9/16 is the same address with another mask.
    QVERIFY(setUp({"10.60.0.7/24", "10.60.0.8/24", "10.60.0.9/16", "192.168.9.9/24", "via 10.60.0.1 metric 5", "via 192.168.9.1 metric 9"}));
    const QString toStatic = "interface ip set address name=\"%1\" source=static mask=255.255.255.0 gateway=10.60.0.1 gwmetric=1 addr=10.60.0.";
    QString output;
    QVERIFY2(netsh(toStatic + "9", &output) == 0 && output.isEmpty(), qPrintable(output));
    QCOMPARE(configOf(), QString("10.60.0.9/24 | 10.60.0.1 1"));

    QVERIFY(m_peer->startDhcp("10.60.0.50", "10.60.0.60", "10.60.0.53"));
    QVERIFY2(netsh("interface ip set address name=\"%1\" source=dhcp", &output) == 0 && output.isEmpty(), qPrintable(output));
    QTRY_VERIFY2_WITH_TIMEOUT(configOf().contains(QRegExp("(^| )10\\.60\\.0\\.(5\\d|60)/24 ")), qPrintable("no lease: " + configOf()), 30000);
    const int client = clientPid();
    QVERIFY2(isDhcpClient(client), "the DHCP client did not outlive netsh");

    QVERIFY2(netsh(toStatic + "20", &output) == 0 && output.isEmpty(), qPrintable(output));
    QVERIFY2(!isDhcpClient(client), "the DHCP client still runs");
    QCOMPARE(configOf(), QString("10.60.0.20/24 | 10.60.0.1 1"));
}

QTEST_GUILESS_MAIN(tst_netsh)
#include "tst_netsh.moc"
