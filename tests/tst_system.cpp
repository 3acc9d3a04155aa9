// "Manual change" on the real kernel: the window's slot, through the worker,
// cmd.exe and netsh, to rtnetlink and the resolver, and back through the IP
// Helper stand-in into the panel.
#include "daverirido.h"
#include "netns.h"
#include "window.h"

#include <QApplication>
#include <QStyleFactory>
#include <QtTest>

namespace {

// "10.0.0.5/24 | 10.0.0.1 1 | nameserver 10.0.0.53": addresses, default routes, the resolver's first line.
QString configOf(const QString &dev)
{
    QStringList routes;
    for (const QJsonValue &r : testnet::ipJson({"-4", "route", "show", "default", "dev", dev}))
        routes << r["gateway"].toString() + " " + QString::number(r["metric"].toInt());
    QFile resolver("/etc/resolv.conf");
    const QString first = resolver.open(QIODevice::ReadOnly) ? QString(resolver.readLine()).trimmed() : QString();
    return testnet::addressesOf(dev).join(' ') + " | " + routes.join(' ') + " | " + first;
}

} // namespace

class tst_system : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void manualChange_data();
    void manualChange();

private:
    QTemporaryDir m_state;
};

void tst_system::initTestCase()
{
    if (!testnet::unavailable().isEmpty())
        QSKIP(qPrintable(testnet::unavailable()));
    qputenv("VANTOREL_STATE_DIR", QFile::encodeName(m_state.path()));
    qputenv("systemroot", qgetenv("VANTOREL_BUILD_DIR"));
}

void tst_system::manualChange_data()
{
    QTest::addColumn<QStringList>("fields"); // IP, netmask and gateway as typed, with 10.77.0.53 as DNS server
    QTest::addColumn<QString>("expected"); // configOf() after it
    QTest::newRow("gateway only") << QStringList{"10.77.0.10", "255.255.255.0", "10.77.0.254"} << "10.77.0.10/24 | 10.77.0.254 1";
    QTest::newRow("netmask only") << QStringList{"10.77.0.10", "255.255.0.0", "10.77.0.1"} << "10.77.0.10/16 | 10.77.0.1 1";
    QTest::newRow("address") << QStringList{"10.77.0.20", "255.255.255.0", "10.77.0.1"} << "10.77.0.20/24 | 10.77.0.1 1";
}

// Each change reads back as typed, in the panel and the kernel, with the
// window's exact texts on the way; the other adapter, with its own gateway at
// the same metric, keeps everything.
void tst_system::manualChange()
{
    QFETCH(QStringList, fields);
    fields << "10.77.0.53";
    QFETCH(QString, expected);
    testnet::Peer peer("vt0", "10.77.0.1/24");
    testnet::Peer other("vt9", "10.78.0.1/24");
    QVERIFY(peer.ok() && other.ok() && testnet::useResolvConf("nameserver 10.77.0.1\n")
            && testnet::ip({"addr", "add", "10.77.0.10/24", "dev", "vt0"})
            && testnet::ip({"route", "add", "default", "via", "10.77.0.1", "dev", "vt0"})
            && testnet::ip({"addr", "add", "10.78.0.5/24", "dev", "vt9"})
            && testnet::ip({"route", "add", "default", "via", "10.78.0.1", "dev", "vt9", "metric", "1"}));
    const auto kernelOf = [](const QString &dev) {
        return QJsonDocument(testnet::ipJson({"-d", "addr", "show", "dev", dev})).toJson()
            + QJsonDocument(testnet::ipJson({"-d", "route", "show", "table", "all", "dev", dev})).toJson();
    };
    const QByteArray otherBefore = kernelOf("vt9");
    std::unique_ptr<davErirido> window;
    QVERIFY2(testwindow::openOn(window, "vt0"), "vt0 is listed");
    QStringList shown;
    connect(window->statusbar, &QStatusBar::messageChanged, this, [&shown](const QString &m) { shown << m; });
    QVERIFY(testwindow::apply(window.get(), fields));
    QCOMPARE(shown, QStringList({"changing the IP, netmask and gateway !", "IP, netmask and gateway change finished.",
                                 "changing the DNS  !", "DNS changes finished.", testwindow::Finished}));
    QCOMPARE(configOf("vt0"), expected + " | nameserver 10.77.0.53");
    QCOMPARE(kernelOf("vt9"), otherBefore);
    QCOMPARE(testwindow::panel(window.get()), QStringList{"Manual"} + fields);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));
    tst_system test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_system.moc"
