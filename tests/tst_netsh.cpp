// The network shell stand-in against the real kernel, reached through cmd.exe as the
// worker reaches it, in CTest's namespace; a DHCP server answers from a second one.
#include "netns.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>

namespace {

QString readText(const QString &path)
{
    QFile file(path);
    return "\n" + (file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString());
}

// "10.0.0.5/24 10.0.0.6/24 | 10.0.0.1 7": the IPv4 addresses, then the default routes (gateway metric).
QString configOf(const QString &dev)
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
    // `cmd.exe /c "netsh <command>"`, %1 standing for the interface: its exit code, its output in *output.
    int netsh(const QString &command, QString *output = nullptr, const QStringList &wrapper = QStringList());
    // The interface and its peer; "a.b.c.d/nn" addresses and "gateway metric" default routes.
    bool setUp(const QStringList &config);
    QString stateValue(const QString &key) const;

    QTemporaryDir m_state;
    QString m_namespaceDir;
    std::unique_ptr<testnet::Peer> m_peer;
    const QString m_if = "vn0";
};

void tst_netsh::initTestCase()
{
    const QString reason = testnet::unavailable();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    QVERIFY(m_state.isValid());
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
    struct stat ns {};
    QVERIFY(stat("/proc/self/ns/net", &ns) == 0);
    m_namespaceDir = m_state.path() + "/net-" + QString::number(ns.st_ino);
}

void tst_netsh::cleanup()
{
    const int client = stateValue("clientPid").toInt();
    if (isDhcpClient(client))
        kill(client, SIGTERM);
    m_peer.reset();
    QDir(m_namespaceDir).removeRecursively();
}

bool tst_netsh::setUp(const QStringList &config)
{
    m_peer.reset(new testnet::Peer(m_if, "10.60.0.1/24"));
    bool ok = testnet::useResolvConf("# test resolver\nnameserver 192.0.2.1\nnameserver 192.0.2.2\n") && m_peer->ok();
    for (const QString &c : config)
        ok = ok && testnet::ip(c.contains(' ') ? QStringList{"route", "add", "default", "via", c.section(' ', 0, 0), "dev", m_if, "metric",
                                                             c.section(' ', 1), "proto", "static"}
                                               : QStringList{"addr", "add", c, "brd", "+", "dev", m_if});
    return ok;
}

int tst_netsh::netsh(const QString &command, QString *output, const QStringList &wrapper)
{
    const QStringList line = wrapper + QStringList{qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/cmd.exe", "/c",
                                                   "netsh " + QString(command).replace("%1", m_if)};
    return testnet::run(line.first(), line.mid(1), output);
}

QString tst_netsh::stateValue(const QString &key) const
{
    return readText(m_namespaceDir + "/" + m_if + ".state").section("\n" + key + "=", 1, 1).section('\n', 0, 0);
}

void tst_netsh::refused_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("message"); // the one line it prints
    QTest::addColumn<QString>("context"); // "down": the link is down; "no admin": without CAP_NET_ADMIN
    const QString addr = "interface ip set address name=%1 source=static ";
    const QString good = "addr=10.60.0.9 mask=255.255.255.0 gateway=10.60.0.1 gwmetric=1";
    const QString dhcp = "interface ip set address name=%1 source=dhcp";
    const auto row = [](const char *name, const QString &command, const QString &message, const QString &context = QString()) {
        QTest::newRow(name) << command << message << context;
    };
    row("unknown command", "interface ipv6 set address name=%1 source=dhcp", "was not found");
    row("no source", "interface ip set address name=%1", "'source' is missing");
    row("unknown source", "interface ip set address name=%1 source=auto", "Invalid source");
    row("dns keyword for address", addr + good + " register=primary", "'register' is not a parameter");
    row("keyword twice", addr + good + " ADDR=10.60.0.8", "given twice");
    row("leading zero", addr + "addr=10.60.0.09 mask=255.255.255.0", "Invalid addr");
    row("broadcast address", addr + "addr=10.60.0.255 mask=255.255.255.0", "not a host address");
    row("holes in mask", addr + "addr=10.60.0.9 mask=255.255.0.255", "contiguous");
    row("gateway elsewhere", addr + "addr=10.60.0.9 mask=255.255.255.0 gateway=10.61.0.1", "not in the subnet");
    row("metric without gateway", addr + "addr=10.60.0.9 mask=255.255.255.0 gwmetric=1", "without a gateway");
    row("address with dhcp", dhcp + " addr=10.60.0.9", "can't be given with source=dhcp");
    row("dns multicast", "interface ip set dns name=%1 source=static addr=239.1.1.1", "not the address of a DNS server");
    row("unknown interface", "interface ip set address name=nosuch0 source=static " + good, "no interface named 'nosuch0'");
    row("loopback interface", "interface ip set address name=lo source=dhcp", "loopback");
    row("disabled interface", addr + good, "disabled", "down");
    row("static, kernel refuses", addr + good, "Operation not permitted", "no admin");
    row("dhcp, kernel refuses", dhcp, "Operation not permitted", "no admin");
}

void tst_netsh::refused()
{
    QFETCH(QString, command);
    QFETCH(QString, message);
    QFETCH(QString, context);
    QVERIFY(setUp({"10.60.0.5/24", "10.60.0.6/24", "10.60.0.1 7"}));
    // A record from an earlier command must survive as well.
    QCOMPARE(netsh("interface ip set dns name=%1 source=static addr=192.0.2.1"), 0);
    QVERIFY(context != "down" || testnet::ip({"link", "set", m_if, "down"}));
    const auto observable = [this] {
        return QJsonDocument(testnet::ipJson({"-4", "addr", "show", "dev", m_if})).toJson()
            + QJsonDocument(testnet::ipJson({"-4", "route", "show"})).toJson() + readText("/etc/resolv.conf")
            + readText(m_namespaceDir + "/" + m_if + ".state") + QDir(m_namespaceDir).entryList(QDir::Files).join(' ');
    };
    const QString before = observable();
    QString output;
    const int code = netsh(command, &output, context == "no admin" ? QStringList{"setpriv", "--inh-caps=-all", "--bounding-set=-net_admin"}
                                                                   : QStringList());
    QVERIFY2(code == 1 && output.contains(message) && output.count('\n') == 1, qPrintable(QString("exit code %1: %2").arg(code).arg(output)));
    QVERIFY2(observable() == before, qPrintable("changed:\n" + before + "\n---\n" + observable()));
}

// Static over what another tool left, then DHCP from a server in the peer
// namespace, then static again.
void tst_netsh::changes()
{
    // 10.60.0.9/24 joins 10.60.0.7/24 as a secondary, which the kernel drops when
    // that primary goes; 10.60.0.9/16 is the same address with another mask.
    QVERIFY(setUp({"10.60.0.7/24", "10.60.0.8/24", "10.60.0.9/16", "192.168.9.9/24", "10.60.0.1 5", "192.168.9.1 9"}));
    QString output;
    QVERIFY2(netsh("interface ip set address name=\"%1\" source=static addr=10.60.0.9 mask=255.255.255.0 gateway=10.60.0.1 gwmetric=1",
                   &output) == 0 && output.isEmpty(), qPrintable(output));
    QCOMPARE(configOf(m_if), QString("10.60.0.9/24 | 10.60.0.1 1"));
    QCOMPARE(stateValue("method"), QString("static"));

    QVERIFY(m_peer->startDhcp("10.60.0.50", "10.60.0.60", "10.60.0.53"));
    QElapsedTimer timer;
    timer.start();
    QVERIFY2(netsh("interface ip set address name=\"%1\" source=dhcp", &output) == 0 && output.isEmpty(), qPrintable(output));
    QVERIFY2(timer.elapsed() < 10000, "netsh waited for the lease instead of leaving it to the client");
    QVERIFY2(!configOf(m_if).contains("10.60.0.9/24") && !configOf(m_if).contains("10.60.0.1 1"), "the static configuration stayed");
    QCOMPARE(netsh("INTERFACE IP SET DNS NAME=\"%1\" SOURCE=DHCP"), 0);
    QTRY_VERIFY2_WITH_TIMEOUT(configOf(m_if).contains(QRegExp("(^| )10\\.60\\.0\\.(5\\d|60)/24 ")), qPrintable("no lease: " + configOf(m_if)), 30000);
    const int client = stateValue("clientPid").toInt();
    QVERIFY2(isDhcpClient(client), "the DHCP client did not outlive netsh");
    QCOMPARE(stateValue("method"), QString("dhcp"));
    const QString lease = m_namespaceDir + "/" + m_if + ".lease";
    QTRY_VERIFY2_WITH_TIMEOUT(readText(lease).contains("\nserver=10.60.0.1"), qPrintable(readText(lease)), 5000);
    QVERIFY2(readText(lease).contains("dns=10.60.0.53"), qPrintable(readText(lease)));

    QVERIFY2(netsh("interface ip set address name=%1 source=static addr=10.60.0.20 mask=255.255.255.0 gateway=10.60.0.1 gwmetric=1",
                   &output) == 0 && output.isEmpty(), qPrintable(output));
    QVERIFY2(!isDhcpClient(client), "the DHCP client still runs");
    QCOMPARE(configOf(m_if), QString("10.60.0.20/24 | 10.60.0.1 1"));
    QVERIFY2(!QFile::exists(lease), "the old lease is still on record");
    QCOMPARE(stateValue("clientPid").toInt(), 0);
}

QTEST_GUILESS_MAIN(tst_netsh)
#include "tst_netsh.moc"
